#pragma once
#include "engine/job/WorkFolders.h"
#include "engine/picture/DecoderProcess.h"

#include <QString>

// The next page's picture, decoded by the velunor-decode helper while this
// page is drawn and written in our own process: both cores at work, and at
// most two pictures held at once, this page's and the next one's. Its result
// waits for its page: a picture that fails is told when its page comes, in
// list order, and one no longer wanted (its list entry edited meanwhile) is
// dropped with the helper that holds it.
class DecodeAhead {
public:
    DecodeAhead(DecoderProcess& decoder, const WorkFolders& folders) : m_decoder(decoder), m_folders(folders) {}

    // Page `page` of `picture` (decoded as `format`) goes to the helper now,
    // into a bitmap of its own beside the temporary bitmap; with `keepAt`, a
    // JPEG that a page at that quality keeps is only checked.
    void Start(const QString& picture, int format, int page, int keepAt);

    struct Result {
        bool matched = false; // false: nothing was started for this picture
        bool ok = false;
        bool kept = false; // a JPEG checked and kept: its traits, no bitmap
        int width = 0;
        int height = 0;
        QString error;
    };
    // The result for this picture, once the helper has it (the window gets
    // its event passes meanwhile). A bitmap decoded becomes the temporary
    // bitmap, with its traits; the traits of a JPEG kept replace the bitmap.
    Result Take(const QString& picture, int format, int page);

private:
    QString aheadBitmap() const { return m_folders.tmpDir + QStringLiteral("/ahead.bmp"); }
    // Puts the helper's files in the temporary bitmap's place.
    void moveIn(bool kept);
    void clearAhead();

    DecoderProcess& m_decoder;
    WorkFolders m_folders;
    bool m_pending = false;
    QString m_picture;
    int m_format = 0;
    int m_page = 0;
    QString m_sendError; // the helper could not be started: told in the page's turn
};
