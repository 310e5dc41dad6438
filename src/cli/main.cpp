// velunor-convert: the window's conversion job for scripts.
#include "cli/ConsoleJobIo.h"
#include "cli/TerminalText.h"
#include "engine/job/ConversionJob.h"
#include "engine/job/FolderWalk.h"
#include "engine/job/JobWorkArea.h"
#include "engine/job/OcrLanguages.h"
#include "engine/pdf/PdfDate.h"
#include "engine/picture/PictureNames.h"
#include "platform/DOSOutputs.h"
#include "platform/MemoryTuning.h"
#include "platform/ProgramName.h"
#include "platform/SignalHold.h"
#include "platform/SignalNotifier.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringEncoder>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {
enum ExitCode { kDone = 0, kFailed = 1, kUsage = 2, kNotReplaced = 3 };

int usageError(const QString& text)
{
    std::fprintf(stderr, "velunor-convert: %s\nTry 'velunor-convert --help' for more information.\n",
                 TerminalText::For(stderr, text).toLocal8Bit().constData());
    return kUsage;
}

// Qt's help names the program by argv[0], which is the whole path it was
// started by (a build folder, /usr/bin/...); the usage line names it as
// users type it.
[[noreturn]] void showHelp(const QCommandLineParser& parser)
{
    QString help = parser.helpText();
    const QString usage = QStringLiteral("Usage: ");
    if (help.startsWith(usage)) {
        const qsizetype end = help.indexOf(QStringLiteral(" [options]"));
        if (end > usage.size())
            help.replace(usage.size(), end - usage.size(), QCoreApplication::applicationName());
    }
    std::fputs(help.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    ::exit(kDone);
}

// argv as text. Qt's own decoding drops a byte order mark at the start of an
// argument, so "\uFEFFTitle" would lose it (and fail the round trip below):
// it is valid text and is kept.
QStringList argumentsAsText(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        QStringDecoder decode(QStringDecoder::System, QStringConverter::Flag::ConvertInitialBom);
        args << decode(QByteArray(argv[i]));
    }
    return args;
}

// The pictures the arguments name, in the order given: a file as it is, a
// folder as every picture of its tree, as the window's Add Folder takes them.
// False with *problem naming the argument that is missing, a picture or
// folder that cannot be read (its pages would be missing without a word), or
// a folder without pictures.
bool picturesOf(const QStringList& arguments, QStringList* pictures, QString* problem)
{
    for (const QString& arg : arguments) {
        const QFileInfo info(arg);
        if (!info.exists()) {
            *problem = QStringLiteral("\"%1\": no such file or folder.").arg(arg);
            return false;
        }
        QList<FolderWalk::Unreadable> unreadable;
        QStringList found;
        if (info.isDir()) {
            found = FolderWalk::Pictures(arg, &unreadable);
        } else if (const QString why = FolderWalk::ReadProblem(arg); !why.isEmpty()) {
            unreadable.append({arg, why});
        } else {
            found.append(arg);
        }
        if (!unreadable.isEmpty()) {
            *problem = QStringLiteral("\"%1\" cannot be read (%2)").arg(unreadable[0].path, unreadable[0].reason);
            if (unreadable.size() > 1)
                *problem += QStringLiteral(", nor can %1 more entries of \"%2\"").arg(unreadable.size() - 1).arg(arg);
            *problem += QLatin1Char('.');
            return false;
        }
        if (found.isEmpty()) {
            *problem = QStringLiteral("the folder \"%1\" holds no pictures (%2).")
                           .arg(arg, QStringLiteral("*.") + PictureNames::ListedExtensions().join(QStringLiteral(", *.")));
            return false;
        }
        *pictures += found;
    }
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    KeepPageMemoryFlat();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velunor-convert"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELUNOR_VERSION));

    // Qt holds names as text: bytes that are no valid text in the system's
    // encoding (a Latin-1 name on a UTF-8 system) do not come back, so the
    // picture would be missed or a folder of another name made.
    const QStringList arguments = argumentsAsText(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const QByteArray raw(argv[i]);
        QStringEncoder encode(QStringEncoder::System, QStringConverter::Flag::ConvertInitialBom);
        if (QByteArray(encode(arguments.at(i))) != raw)
            return usageError(QStringLiteral("\"%1\" is not valid text in the system's encoding (%2); "
                                             "please rename the file or folder.")
                                  .arg(arguments.at(i), QString::fromLocal8Bit(nl_langinfo(CODESET))));
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Turns pictures into one PDF document, one page per picture, in the order given.\n"
                       "The document is written to DIR/TITLE.pdf and its path printed on standard output."));
    const QCommandLineOption outputDir({"o", "output-dir"}, "Folder of the document (default: the current folder).", "DIR");
    const QCommandLineOption title({"t", "title"}, "Document title, also the file name (default: \"New PDF Document\").", "TITLE",
                                   "New PDF Document");
    const QCommandLineOption author({"a", "author"}, QStringLiteral("Author (default: \"%1\").").arg(ProgramName), "AUTHOR",
                                    ProgramName);
    const QCommandLineOption subject({"s", "subject"}, "Subject (default: \"New Subject\").", "SUBJECT", "New Subject");
    const QCommandLineOption keywords({"k", "keywords"}, "Keywords (default: none).", "KEYWORDS", QString());
    const QCommandLineOption date({"d", "creation-date"}, "Creation date as a PDF date, e.g. D:20240131154500+01'00 (default: now).",
                                  "PDFDATE");
    const QCommandLineOption quality({"q", "quality"}, "JPEG quality of the pages, 1 to 100 (default: 85).", "1-100", "85");
    const QCommandLineOption yes({"y", "yes"}, "Replace an existing document without asking.");
    const QCommandLineOption pageSize("page-size",
                                      "Page size: picture (the picture's own size at 200 ppi, the default), native (its own "
                                      "size at the resolution its file states; 200 ppi when it states none, or less than 72 "
                                      "or more than 2400), A3, A4, A5, B5, "
                                      "Letter, Legal, or WIDTHxHEIGHT with one unit mm, cm, in or pt (e.g. 100x150mm).",
                                      "SIZE", "picture");
    const QCommandLineOption orientation("orientation",
                                         "Paper orientation: auto (the paper's long side along the picture's, the default), "
                                         "portrait or landscape.",
                                         "auto|portrait|landscape", "auto");
    const QCommandLineOption margin("margin", "Room kept free on every side, with a unit, e.g. 10mm (default: 0).",
                                    "LENGTH", "0");
    const QCommandLineOption fit("fit",
                                 "On paper: into (scaled up or down to fill the room inside the margins, the default) or "
                                 "shrink (never larger than at 200 ppi).",
                                 "into|shrink", "into");
    const QCommandLineOption maxPpi("max-ppi",
                                    "Resample pictures that would lie finer than N pixels per inch on their page down to N, "
                                    "N from 1 (default: none, no limit).",
                                    "N");
    const QCommandLineOption ocr("ocr",
                                 "Make the pages searchable: read their text in these languages (Tesseract's codes, "
                                 "e.g. eng or deu+eng; each from Debian's tesseract-ocr-LANG) and lay it invisibly "
                                 "over the pictures.",
                                 "LANGS");
    const QCommandLineOption rotatePages("rotate-pages",
                                         "With --ocr: show a page whose text stands sideways or upside down upright, "
                                         "when Tesseract's orientation detection is sure of it (the default).");
    const QCommandLineOption noRotatePages("no-rotate-pages", "With --ocr: leave every page as it stands.");
    const QCommandLineOption deskew("deskew",
                                    "Straighten pages more than 0.5 degrees askew; such a page's picture is resampled "
                                    "and coded anew (a JPEG is not kept as it is).");
    const QCommandLineOption pdfa("pdfa",
                                  "Write a PDF/A-2b document for archives: an sRGB output intent, the PDF/A "
                                  "identification and every information entry mirrored in its XMP metadata.");
    const QCommandLineOption sidecar("sidecar",
                                     "With --ocr: also write the words of every page to FILE, in reading order, "
                                     "UTF-8, a form feed between pages; put in place with the document.",
                                     "FILE");
    parser.addOptions({outputDir, title, author, subject, keywords, date, quality, yes, pageSize, orientation, margin,
                       fit, maxPpi, ocr, rotatePages, noRotatePages, deskew, pdfa, sidecar});
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("PICTURE",
                                 "Picture files (BMP, JPEG, PNG, GIF, TIFF, ICO, PCX, PSD, IFF, HEIC, HEIF, AVIF, WebP, "
                                 "JPEG XL, PNM, TGA), one page each (every page of a multi-page TIFF), or folders: "
                                 "every picture of the folder's tree, as Add Folder takes them.",
                                 "PICTURE...");

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        showHelp(parser);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    ConsoleJobIo::Options opt;
    opt.title = parser.value(title);
    opt.author = parser.value(author);
    opt.subject = parser.value(subject);
    opt.keywords = parser.value(keywords);
    opt.creationDate = parser.isSet(date) ? parser.value(date) : PdfDateString();
    if (!IsPdfDate(opt.creationDate))
        return usageError(QStringLiteral("the creation date must be a PDF date such as D:20240131154500+01'00 "
                                         "(D:YYYYMMDDHHmmSS, then Z, +HH'mm' or -HH'mm' or nothing), not \"%1\".")
                              .arg(opt.creationDate));
    opt.outputFolder = parser.isSet(outputDir) ? parser.value(outputDir) : QDir::currentPath();
    opt.yes = parser.isSet(yes);
    opt.pdfa = parser.isSet(pdfa);
    bool ok = false;
    opt.quality = parser.value(quality).toInt(&ok);
    if (!ok || opt.quality < 1 || opt.quality > 100)
        return usageError(QStringLiteral("the quality must be a whole number from 1 to 100, not \"%1\".").arg(parser.value(quality)));
    // The page layout, checked whole before any page is made.
    QString why;
    if (!opt.page.SetSize(parser.value(pageSize), &why) || !opt.page.SetOrientation(parser.value(orientation), &why) ||
        !opt.page.SetMargin(parser.value(margin), &why) || !opt.page.SetFit(parser.value(fit), &why) ||
        (parser.isSet(maxPpi) && !opt.page.SetMaxPpi(parser.value(maxPpi), &why)))
        return usageError(why + ".");
    if (parser.isSet(rotatePages) && parser.isSet(noRotatePages))
        return usageError(QStringLiteral("--rotate-pages and --no-rotate-pages contradict each other; give one."));
    opt.page.rotatePages = !parser.isSet(noRotatePages);
    opt.page.deskew = parser.isSet(deskew);
    const QString layoutProblem = opt.page.Problem();
    if (!layoutProblem.isEmpty())
        return usageError(layoutProblem + ".");

    // The options first, then the pictures: a missing one, one that cannot
    // be read, or a folder without any, is named before anything is made.
    QString problem;
    if (!picturesOf(parser.positionalArguments(), &opt.pictures, &problem))
        return usageError(problem);
    if (opt.pictures.isEmpty())
        return usageError(QStringLiteral("no pictures given"));

    if (parser.isSet(ocr)) {
        opt.ocrLanguages = parser.value(ocr);
        // Said before any page, with the package that brings a missing language.
        const QString problem = OcrLanguages::Problem(opt.ocrLanguages);
        if (!problem.isEmpty())
            return usageError(problem);
    }

    if (parser.isSet(sidecar)) {
        if (!parser.isSet(ocr))
            return usageError(QStringLiteral("--sidecar needs --ocr: the words come from reading the pages."));
        if (parser.value(sidecar).isEmpty())
            return usageError(QStringLiteral("--sidecar needs a file name."));
        opt.sidecar = QFileInfo(parser.value(sidecar)).absoluteFilePath();
    }

    // Work folders of this run, locked for its life; leftovers of killed
    // runs (of this program or the window) go first.
    auto workArea = std::make_unique<JobWorkArea>();
    ConsoleJobIo io(opt);
    DOSOutputs runner(io);
    ConversionJob job(io, io, runner, *workArea);
    job.SetWriteSettings(false);

    // SIGTERM, SIGINT, SIGHUP: the toolkit run ends, the work folder goes,
    // and the exit status is 128 + the signal, as a shell expects. The job
    // hears it at its next event pass (after every page, every 50 ms in a
    // toolkit run); the earlier document is replaced whole or not at all.
    // Declared before the notifier, so it outlives it: once the document is
    // in place, a stop that comes while the program ends (its handlers
    // already gone) must not end it by the signal either. Held, then
    // ignored as the hold ends: unheld, a stop that came meanwhile would
    // still end the program by its default action, the path unsaid.
    struct HeldToTheEnd {
        SignalHold hold;
        ~HeldToTheEnd()
        {
            for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
                ::signal(sig, SIG_IGN);
        }
    };
    std::optional<HeldToTheEnd> placed;
    SignalNotifier stop({SIGTERM, SIGINT, SIGHUP});
    const auto endBySignal = [&](int sig) {
        ConversionJob::EndAbruptly(runner, workArea);
        std::fprintf(stderr, "\nvelunor-convert: stopped (%s).\n", strsignal(sig));
        std::fflush(nullptr);
        ::_exit(128 + sig);
    };
    QObject::connect(&stop, &SignalNotifier::Arrived, endBySignal);
    workArea->SweepLeftovers();

    const ConversionJob::Outcome outcome = job.Run();
    // A stop that came once the document was in place changes nothing: the
    // new document is there, and saying "stopped" would tell a script that
    // the old one survived. (The job holds such signals until it ends.)
    if (job.DocumentPlaced())
        placed.emplace();
    else if (const int sig = stop.Pending())
        endBySignal(sig);
    switch (outcome) {
    case ConversionJob::Outcome::Done:
        std::printf("%s\n", TerminalText::For(stdout, QFileInfo(job.OutputPath()).absoluteFilePath()).toLocal8Bit().constData());
        return kDone;
    case ConversionJob::Outcome::EmptyList:
        return kUsage;
    case ConversionJob::Outcome::Cancelled:
        return kNotReplaced;
    case ConversionJob::Outcome::BadTitle:
    case ConversionJob::Outcome::Failed:
    case ConversionJob::Outcome::Stopped: // the window's stop; signals end this program
    case ConversionJob::Outcome::Busy:
        break;
    }
    return kFailed;
}
