#include "engine/picture/DecoderProcess.h"

#include "engine/picture/DecodeStep.h"
#include "platform/AppPaths.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

DecoderProcess::Options DecoderProcess::Defaults()
{
    Options o;
    o.program = AppPaths::HelperProgram("velunor-decode");
    return o;
}

DecoderProcess::DecoderProcess(YieldFunction yield, Options options)
    : m_yield(std::move(yield)), m_options(std::move(options)),
      m_child({m_options.program, QStringLiteral("the picture decoder"), m_options.memoryLimit, DecodeStep::Refused,
               DecodeStep::OutOfMemory, QStringLiteral("; the file is probably damaged")})
{
}

DecoderProcess::~DecoderProcess() { end(); }

void DecoderProcess::end()
{
    m_waiting = false;
    for (int* fd : {&m_requests, &m_replies}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    m_child.Kill();
}

bool DecoderProcess::start(QString* error)
{
    int in[2], replies[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        *error = QString("the picture decoder could not be started (%1)").arg(QString::fromLocal8Bit(::strerror(errno)));
        return false;
    }
    if (::pipe2(replies, O_CLOEXEC) != 0) {
        *error = QString("the picture decoder could not be started (%1)").arg(QString::fromLocal8Bit(::strerror(errno)));
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    // The pictures on its standard input, the answers on its descriptor 3.
    const bool started = m_child.Start({QByteArrayLiteral("--serve")}, in[0], {replies[1]}, error);
    ::close(in[0]);
    ::close(replies[1]);
    if (!started) {
        ::close(in[1]);
        ::close(replies[0]);
        return false;
    }
    m_requests = in[1];
    m_replies = replies[0];
    ::fcntl(m_replies, F_SETFL, O_NONBLOCK);
    return true;
}

bool DecoderProcess::Run(const QString& picture, int format, const QString& bitmap, int* width, int* height,
                         QString* error, int page)
{
    return Send(picture, format, bitmap, error, page) && Receive(width, height, error);
}

bool DecoderProcess::Send(const QString& picture, int format, const QString& bitmap, QString* error, int page,
                          int keepAt)
{
    // A helper that ended between two pictures (killed from outside) is
    // replaced; this picture has nothing to do with its end. One still at
    // a picture no longer wanted ends with it: its answer would be taken
    // for this one's.
    if (m_child.EndedMeanwhile() || m_waiting)
        end();
    if (!m_child.Running() && !start(error))
        return false;

    // The request: format, page (of a multi-page TIFF; 0 is the first),
    // picture and bitmap, each ended by a NUL (no path holds one). A helper
    // that goes meanwhile is seen below; its closed pipe must not end this
    // program with SIGPIPE.
    const QByteArray request = QByteArray::number(format) + (keepAt > 0 ? '/' + QByteArray::number(keepAt) : QByteArray()) + '\0' + QByteArray::number(page) + '\0'
        + QFile::encodeName(picture) + '\0' + QFile::encodeName(bitmap) + '\0';
    sigset_t pipeSignal, before;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    sigset_t pending;
    const bool pendingBefore = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    for (qsizetype done = 0; done < request.size();) {
        const ssize_t n = ::write(m_requests, request.constData() + done, size_t(request.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const timespec now {};
            if (errno == EPIPE && !pendingBefore)
                ::sigtimedwait(&pipeSignal, nullptr, &now);
            break;
        }
        done += n;
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    // The time limit counts from here: the helper starts on it at once.
    m_child.ForgetSaid();
    m_child.RestartClock();
    m_waiting = true;
    return true;
}

bool DecoderProcess::Receive(int* width, int* height, QString* error, bool* kept)
{
    if (kept)
        *kept = false;
    m_waiting = false;
    if (!m_child.Running()) {
        *error = QString("the picture decoder ended before it was given the picture");
        return false;
    }
    // Its answer, or its end; the window gets an event pass meanwhile.
    QByteArray answer;
    // "STATUS WIDTH HEIGHT LENGTH\n" and LENGTH bytes of reason.
    auto answered = [&](int* status, QByteArray* reason) {
        const qsizetype nl = answer.indexOf('\n');
        if (nl < 0)
            return false;
        const QList<QByteArray> head = answer.left(nl).split(' ');
        const qsizetype length = head.value(3).toLongLong();
        if (head.size() != 4 || answer.size() - nl - 1 < length)
            return false;
        *status = head[0].toInt();
        *width = head[1].toInt();
        *height = head[2].toInt();
        *reason = answer.mid(nl + 1, length);
        return true;
    };
    int status = 0, answerStatus = -1;
    QByteArray reason;
    const HelperChild::End how = m_child.Wait(m_options.timeLimitMs, m_yield, &status, &m_replies, &answer,
                                              [&] { return answered(&answerStatus, &reason); });
    // A helper that answered stays for the next picture; one that ran out
    // of time was killed, one that ended was reaped.
    const bool timedOut = how == HelperChild::End::TimedOut;
    if (how != HelperChild::End::Answered)
        end();

    if (answerStatus >= 0 || answered(&answerStatus, &reason)) {
        // It answered (and waits for the next picture, unless it ended).
        const QString text = QString::fromUtf8(reason).trimmed();
        if ((answerStatus == DecodeStep::Decoded || answerStatus == DecodeStep::Kept) && *width > 0 && *height > 0) {
            if (kept)
                *kept = answerStatus == DecodeStep::Kept;
            return true;
        }
        if (answerStatus == DecodeStep::Decoded)
            *error = QString("the picture decoder gave no size (%1)").arg(text);
        else if (answerStatus == DecodeStep::OutOfMemory)
            *error = m_child.OutOfMemoryReason(text);
        else
            *error = text.isEmpty() ? QString("the picture decoder refused it") : text;
        return false;
    }

    const QString text = QString::fromUtf8(m_child.Said()).trimmed();
    if (timedOut) {
        *error = QString("the picture decoder did not finish within %1 seconds; the file is probably damaged")
                     .arg(m_options.timeLimitMs / 1000.0);
        return false;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == DecodeStep::Decoded) {
        const QStringList size = text.section('\n', -1).split(' '); // its last line
        bool okW = false, okH = false;
        *width = size.value(0).toInt(&okW);
        *height = size.value(1).toInt(&okH);
        if (okW && okH && *width > 0 && *height > 0)
            return true;
        *error = QString("the picture decoder gave no size (%1)").arg(text);
        return false;
    }
    *error = m_child.EndReason(status, text);
    return false;
}
