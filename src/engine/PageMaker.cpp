#include "engine/PageMaker.h"

#include "engine/FreeImageDiagnostics.h"
#include "engine/PdfCtl.h"
#include "engine/PictureReader.h"
#include "engine/PictureTraits.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString quoted(const QString& path) { return "\"" + QDir::toNativeSeparators(path) + "\""; }

} // namespace

PageMaker::PageMaker(const WorkFolders& folders, MessageSink& sink, YieldFunction yield, quintptr ownerWindow)
    : m_folders(folders), m_sink(sink), m_yield(std::move(yield)), m_owner(ownerWindow)
{
    FreeImageDiagnostics::Install();
}

void PageMaker::BeginJob() { m_format = FIF_BMP; }

int PageMaker::FormatForExtension(const QString& entryPath, int current)
{
    const int dot = entryPath.lastIndexOf('.');
    const QString ext = (dot < 0 ? entryPath : entryPath.mid(dot + 1)).toLower();
    static const struct {
        const char* ext;
        int format;
    } table[] = {
        {"bmp", FIF_BMP}, {"dib", FIF_BMP},  {"jpg", FIF_JPEG}, {"jpeg", FIF_JPEG},
        {"gif", FIF_GIF}, {"png", FIF_PNG},  {"ico", FIF_ICO},  {"tif", FIF_TIFF},
        {"tiff", FIF_TIFF}, {"iff", FIF_IFF}, {"pcx", FIF_PCX}, {"psd", FIF_PSD},
    };
    for (const auto& row : table) {
        if (ext == QLatin1String(row.ext))
            return row.format;
    }
    return current;
}

int PageMaker::PageLength(int pixels)
{
    // pixels * 254 / 200 = pixels * 127 / 100, in whole numbers so that
    // halves are exact; a half goes to the even neighbour.
    const qint64 scaled = qint64(pixels) * 127;
    const qint64 whole = scaled / 100, rest = scaled % 100;
    if (rest > 50 || (rest == 50 && (whole & 1)))
        return int(whole + 1);
    return int(whole);
}

qint64 PageMaker::MaxPixels() { return PictureReader::MaxPixels(); }

bool PageMaker::check(int result) { return CheckPdfError(result, m_sink); }

void PageMaker::yieldOnce()
{
    if (m_yield)
        m_yield();
}

namespace {

// Decodes the picture and writes it as the temporary bitmap.
bool decodeToBitmap(const QString& entryPath, int format, const QString& temp, QString* error)
{
    FiBitmap dib = PictureReader::Read(entryPath, format, error);
    if (!dib)
        return false;
    const PictureTraits traits = PictureTraits::Of(dib.get(), entryPath);
    // A BMP holds 8 bits per channel at most, and no transparency that
    // other programs agree on.
    dib = PictureReader::Normalise(std::move(dib), error);
    if (!dib)
        return false;
    FreeImageDiagnostics::Collect();
    if (!FreeImage_Save(FIF_BMP, dib.get(), QFile::encodeName(temp).constData(), BMP_DEFAULT)) {
        QString said = FreeImageDiagnostics::Take();
        *error = QString("the temporary bitmap %1 could not be written").arg(quoted(temp)) +
                 (said.isEmpty() ? QString() : " (" + said.replace('\n', "; ") + ")");
        QFile::remove(temp);
        return false;
    }
    // The profile and subsampling go beside the bitmap, which cannot hold them.
    if (!traits.Write(temp, int(FreeImage_GetWidth(dib.get())), int(FreeImage_GetHeight(dib.get())))) {
        *error = QString("the file %1 beside the temporary bitmap could not be written")
                     .arg(quoted(PictureTraits::SideFile(temp)));
        QFile::remove(temp);
        return false;
    }
    return true;
}

bool startsAsJpeg(const QString& path)
{
    if (!QFileInfo(path).isFile()) // a pipe would wait for a writer
        return false;
    QFile f(path);
    char head[3];
    return f.open(QIODevice::ReadOnly) && f.read(head, 3) == 3 && head[0] == '\xFF' && head[1] == '\xD8' &&
           head[2] == '\xFF';
}

} // namespace

bool PageMaker::writeTempBitmap(const QString& entryPath, QString* error)
{
    // Gone before decoding, so a picture that fails can never be replaced by
    // the previous entry's bitmap.
    const QString temp = m_folders.tempBitmap();
    PictureTraits::Remove(temp);
    if (QFileInfo::exists(temp) && !QFile::remove(temp)) {
        *error = QString("the temporary bitmap %1 could not be replaced").arg(quoted(temp));
        return false;
    }
    // FreeImage's decoders crash on some damaged files (PSD, TIFF...): the
    // decoding runs in a child process, so such a file fails as a picture
    // instead of ending the program with its list. JPEGs, the photos that
    // make most pages, are decoded here: libjpeg checks its input, their
    // Exif reaches FreeImage no more, and a fork costs about a tenth of a
    // photo's page.
    if (startsAsJpeg(entryPath))
        return decodeToBitmap(entryPath, m_format, temp, error);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return decodeToBitmap(entryPath, m_format, temp, error);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return decodeToBitmap(entryPath, m_format, temp, error);
    }
    if (pid == 0) {
        ::close(fds[0]);
        QString reason;
        const bool ok = decodeToBitmap(entryPath, m_format, temp, &reason);
        const QByteArray said = reason.toUtf8();
        for (qsizetype done = 0; done < said.size();) {
            const ssize_t n = ::write(fds[1], said.constData() + done, size_t(said.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    QByteArray said;
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0)
            said.append(buf, n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    QFile::remove(temp); // a decoder that crashed may have left part of one
    PictureTraits::Remove(temp);
    if (!said.isEmpty())
        *error = QString::fromUtf8(said);
    else if (WIFSIGNALED(status))
        *error = QString("the picture decoder crashed on it (%1); the file is probably damaged")
                     .arg(QString::fromLocal8Bit(::strsignal(WTERMSIG(status))));
    else
        *error = "the picture decoder failed on it; the file is probably damaged";
    return false;
}

PageResult PageMaker::MakePage(int i, const QString& entryPath, int quality)
{
    PageResult result;
    const QString pageFile = m_folders.pageFile(i);
    QFile::remove(pageFile); // a page left by an earlier run must not stand in for this one

    const int box = CreateBox(m_owner, 0);
    if (!check(box)) {
        result.status = PageResult::PdfError;
        return result;
    }
    auto pdfFailed = [&]() {
        FreeBox(box);
        result.status = PageResult::PdfError;
        char buffer[256];
        GetErrorMsg(buffer, 255);
        result.message = QString::fromUtf8(buffer);
        return result;
    };

    if (!check(SetNumProp(box, 44, 1)) || !check(SetStrProp(box, 10, pageFile)) || !check(SetNumProp(box, 44, 0)))
        return pdfFailed();

    m_format = FormatForExtension(entryPath, m_format);

    QString reason;
    if (!writeTempBitmap(entryPath, &reason)) {
        FreeBox(box);
        result.status = PageResult::PictureError;
        result.message = QString("Cannot read the picture %1: %2.").arg(quoted(entryPath), reason);
        return result;
    }
    yieldOnce();

    qint64 w = 0, h = 0;
    if (!PictureReader::DeclaredSize(m_folders.tempBitmap(), FIF_BMP, &w, &h) || w <= 0 || h <= 0) {
        FreeBox(box);
        result.status = PageResult::PictureError;
        result.message = QString("Cannot read the picture %1: the temporary bitmap %2 could not be measured.")
                             .arg(quoted(entryPath), quoted(m_folders.tempBitmap()));
        return result;
    }
    yieldOnce();

    if (!check(SetStrProp(box, 14, "Velunor")))
        return pdfFailed();
    const int pageW = PageLength(int(w)), pageH = PageLength(int(h));
    if (!check(SetNumProp(box, 36, pageW)) || !check(SetNumProp(box, 34, pageH)))
        return pdfFailed();
    if (!check(SetNumProp(box, 31, 2)) || !check(SetNumProp(box, 45, quality)) ||
        !check(SetNumProp(box, 51, 2)) || !check(SetNumProp(box, 52, 2)))
        return pdfFailed();

    if (!check(BeginDoc(box)) || !check(StretchDrawFromFile(box, 0, 0, pageW, pageH, m_folders.tempBitmap())) ||
        !check(EndDoc(box)))
        return pdfFailed();
    FreeBox(box);
    return result;
}
