#pragma once
#include <FreeImage.h>
#include <QFile>

// A picture file as the decoders read it. FreeImage's readers of BMP, IFF,
// ICO and PSD, and Qt's BMP reader, go on when a file ends before its
// picture does, and draw garbage or blank where the bytes are missing
// without a word. Every read goes through here, FreeImage's by the
// FreeImageIO callbacks: a read that asks for bytes past the end of the file
// is noted, and the reader refuses such a picture. (Those readers never read
// a whole file past its end. FreeImage's PCX reader and libjpeg read in
// blocks, so for them a short read is no sign: a PCX is judged by its data,
// PictureBytes::PcxDataFits, and libjpeg says itself when a JPEG is cut.)
class PictureFile : public QFile {
public:
    explicit PictureFile(const QString& path) : QFile(path) {}

    // Read-only and unbuffered, so every read asks for what the decoder asked.
    bool OpenForDecoding();

    // For FreeImage_LoadFromHandle and its kin, with Handle().
    static FreeImageIO* Io();
    fi_handle Handle() { return this; }

    bool ReadPastEnd() const { return m_readPastEnd; }
    // Back to the start with the note cleared: format probes read a fixed
    // signature, which a small file may not hold.
    void Rewind();

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    bool m_readPastEnd = false;
};
