// The dialogue's rules alone: (state, input) -> (actions, new state), with
// no port, no timer, no file and no event loop.
#include "transfer/DownloadProtocol.h"
#include "transfer/UploadProtocol.h"

#include <QTest>

namespace {

using Do = Protocol::Action::Do;
using Verdict = ReplyTimeout::Verdict;

const char *const KindNames[] = {"Completed", "Refused", "TimedOut", "Lost", "FileError", "PortError", "Stopped"};
const char *const ReasonNames[] = {"",         "Unexpected", "Echo",     "EmptyReply", "Endless",    "Stalled",
                                   "CutShort", "OpenFile",   "SaveRecord", "ReadLine", "FileChanged"};
const char *const StateNames[] = {"Idle",           "Preparing",   "AwaitingRecord",  "AwaitingNext",
                                  "ConfirmingEmpty", "AwaitingAck", "SendingLine",     "AwaitingLineAck",
                                  "Ending",          "AwaitingLastAck"};

// Actions as a row reads them: "ask READ", "save R1", "end Refused/Echo asked=READ held keep n=1".
QString render(const Protocol::Actions &actions, const Protocol &p)
{
    QStringList out;
    for (const Protocol::Action &a : actions) {
        switch (a.what) {
        case Do::Ask: out << QStringLiteral("ask ") + QString::fromLatin1(a.bytes); break;
        case Do::Tell: out << QStringLiteral("tell ") + QString::fromLatin1(a.bytes); break;
        case Do::Save: out << QStringLiteral("save ") + QString::fromLatin1(a.bytes); break;
        case Do::AwaitQuiet: out << QStringLiteral("await quiet"); break;
        case Do::SendLine: out << QStringLiteral("next line"); break;
        case Do::Finish: {
            QString end = QStringLiteral("end ") + QLatin1String(KindNames[int(a.kind)]);
            if (a.reason != Outcome::Reason::None)
                end += QLatin1Char('/') + QLatin1String(ReasonNames[int(a.reason)]);
            if (!a.bytes.isEmpty())
                end += QStringLiteral(" asked=") + QString::fromLatin1(a.bytes);
            for (auto [on, word] : {std::pair{a.held, "held"}, {a.unconfirmed, "unconfirmed"}, {a.keepReply, "keep"}})
                if (on)
                    end += QLatin1Char(' ') + QLatin1String(word);
            out << end + QStringLiteral(" n=") + QString::number(p.count());
            break;
        }
        }
    }
    return out.join(QStringLiteral(", "));
}

// One input by name: "start", "reply:R1", "saved", "quiet", "noise",
// "tick:silent|stalled|wait", "tick:partial" (silent, part of a reply in),
// "stop", "stop:queued", "endless"; the download's "scanned", "line:BYTES"
// (a line starts and its piece goes), "left", "left:drained", "ended".
// One of up and down is null; p is the other.
Protocol::Actions feed(UploadProtocol *up, DownloadProtocol *down, const QString &step, bool ticksRule)
{
    Protocol &p = up ? static_cast<Protocol &>(*up) : *down;
    const QString word = step.section(QLatin1Char(':'), 0, 0);
    const QString arg = step.section(QLatin1Char(':'), 1);
    const QByteArray bytes = arg.toLatin1().replace("\\r", "\r").replace("\\n", "\n");
    const ReplyTimeout::Rule rule = ticksRule ? ReplyTimeout::Rule::Ticks : ReplyTimeout::Rule::Silence;
    if (word == QLatin1String("start")) {
        if (up)
            return up->start();
        down->start();
        return {};
    }
    if (word == QLatin1String("reply"))
        return up ? up->reply(bytes) : down->reply(bytes);
    if (word == QLatin1String("saved"))
        return up->saved(2);
    if (word == QLatin1String("quiet"))
        return up->quiet();
    if (word == QLatin1String("noise"))
        return up->noise();
    if (word == QLatin1String("tick"))
        return p.timedOut(arg == QLatin1String("wait")      ? Verdict::Wait
                          : arg == QLatin1String("stalled") ? Verdict::Stalled
                                                            : Verdict::Silent,
                          rule, arg == QLatin1String("partial"));
    if (word == QLatin1String("stop"))
        return p.stop(arg == QLatin1String("queued"));
    if (word == QLatin1String("endless"))
        return p.endless();
    if (word == QLatin1String("scanned"))
        return down->scanned();
    if (word == QLatin1String("line")) {
        down->lineStarted();
        down->linePiece(bytes);
        return {};
    }
    if (word == QLatin1String("left")) {
        down->lineLeft(arg == QLatin1String("drained"));
        return {};
    }
    if (word == QLatin1String("ended"))
        return down->fileEnded();
    qFatal("unknown step %s", qPrintable(step));
}

} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void table_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("hold");        // the windows' policy: refusals and time-outs are held
        QTest::addColumn<QStringList>("before"); // inputs that lead to the state under test
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QString>("state");
        const QStringList read{"start"}, removeOut{"start", "reply:R1", "saved"};
        // A row of the upload's table (then of the download's).
        bool upload = true;
        auto row = [&upload](const char *tag, bool hold, const QStringList &before, const char *input,
                             const char *actions, const char *state) {
            QTest::newRow(tag) << upload << hold << before << input << actions << state;
        };
        row("READ first", false, {}, "start", "ask READ", "AwaitingRecord");
        row("a record is saved, not yet answered", false, read, "reply:R1", "save R1", "AwaitingRecord");
        row("REMOVE only once it is kept", false, {"start", "reply:R1"}, "saved", "ask REMOVE", "AwaitingNext");
        row("NEXT asks again", false, removeOut, "reply:NEXT", "ask READ", "AwaitingRecord");
        row("OVER", false, read, "reply:OVER", "tell DONE, end Completed n=0", "Idle");
        row("OVER after REMOVE", false, removeOut, "reply:OVER", "tell DONE, end Completed n=1", "Idle");
        row("NAK ends", false, read, "reply:NAK", "end Refused asked=READ n=0", "Idle");
        row("NAK held", true, read, "reply:NAK", "end Refused asked=READ held n=0", "AwaitingRecord");
        row("a late reply carries a held transfer on", true, {"start", "reply:NAK"}, "reply:R1", "save R1",
            "AwaitingRecord");
        row("NAK after REMOVE: the record may come again", false, removeOut, "reply:NAK",
            "end Refused asked=REMOVE unconfirmed n=1", "Idle");
        row("READ echoed", false, read, "reply:READ", "end Refused/Echo asked=READ n=0", "Idle");
        row("READ echoed, CR as LF, glued to a record", false, read, "reply:READ\\nR1", "end Refused/Echo asked=READ n=0",
            "Idle");
        row("REMOVE echoed", false, removeOut, "reply:REMOVE", "end Refused/Echo asked=REMOVE unconfirmed n=1", "Idle");
        row("READ as a record's beginning is a record", false, read, "reply:READY", "save READY", "AwaitingRecord");
        row("NEXT answers only REMOVE", false, read, "reply:NEXT", "end Refused/Unexpected asked=READ n=0", "Idle");
        row("a record after REMOVE", false, removeOut, "reply:R2",
            "end Refused/Unexpected asked=REMOVE unconfirmed n=1", "Idle");
        row("two messages in one reply", false, read, "reply:R1\\rR2", "end Refused/Unexpected asked=READ n=0", "Idle");
        row("a CR alone awaits quiet", false, read, "reply:", "await quiet", "ConfirmingEmpty");
        row("quiet: the empty record", false, {"start", "reply:"}, "quiet", "save ", "AwaitingRecord");
        row("bytes at once: noise, kept for a held reply", true, {"start", "reply:"}, "noise",
            "end Refused/EmptyReply asked=READ held keep n=0", "AwaitingRecord");
        row("quiet after noise is nothing", false, {"start", "reply:", "noise"}, "quiet", "", "Idle");
        row("no clock while awaiting quiet", false, {"start", "reply:"}, "tick:silent", "", "ConfirmingEmpty");
        row("silence", false, read, "tick:silent", "end TimedOut asked=READ n=0", "Idle");
        row("silence held", true, removeOut, "tick:silent", "end TimedOut asked=REMOVE held unconfirmed n=1",
            "AwaitingNext");
        row("a held transfer's clock does not count", true, {"start", "tick:silent"}, "tick:silent", "",
            "AwaitingRecord");
        row("a message the terminal does not take", false, read, "tick:stalled", "end TimedOut/Stalled asked=READ n=0",
            "Idle");
        row("endless reply, never held", true, read, "endless", "end Refused/Endless asked=READ n=0", "Idle");
        row("stop between two messages", false, removeOut, "stop", "end Stopped unconfirmed n=1", "Idle");
        row("stop when idle", false, {}, "stop", "", "Idle");

        const QStringList down{"start", "scanned"}, lineOut{"start", "scanned", "reply:ACK", "line:L1", "left"};
        upload = false;
        row("read through first", false, {}, "start", "", "Preparing");
        row("no clock while reading through", false, {"start"}, "tick:silent", "", "Preparing");
        row("DOWN once read through", false, {"start"}, "scanned", "ask DOWN", "AwaitingAck");
        row("ACK asks for the first line", false, down, "reply:ACK", "next line", "AwaitingAck");
        row("a stray ACK while the line leaves", false, {"start", "scanned", "reply:ACK", "line:L1"}, "reply:ACK", "",
            "SendingLine");
        row("the line out whole", false, {"start", "scanned", "reply:ACK", "line:L1"}, "left", "", "AwaitingLineAck");
        row("ACK counts the line", false, lineOut, "reply:ACK", "next line", "AwaitingLineAck");
        row("the file's end: OVER", false, lineOut + QStringList{"reply:ACK"}, "ended", "tell OVER, end Completed n=1",
            "Idle");
        row("NAK held, kept before the next reply", true, lineOut, "reply:NAK", "end Refused held keep n=0",
            "AwaitingLineAck");
        row("unknown reply to DOWN", false, down, "reply:XYZ", "end Refused asked=DOWN keep n=0", "Idle");
        row("DOWN echoed", false, down, "reply:DOWN", "end Refused/Echo asked=DOWN keep n=0", "Idle");
        row("the line echoed, its CR as LF", false, lineOut, "reply:L1\\nACK", "end Refused/Echo keep n=0", "Idle");
        row("NAK is never an echo", false, {"start", "scanned", "reply:ACK", "line:NAK", "left"}, "reply:NAK",
            "end Refused keep n=0", "Idle");
        row("part of a reply stops the windows' clock", true, lineOut, "tick:partial", "", "AwaitingLineAck");
        row("but not the command line's", false, lineOut, "tick:partial", "end TimedOut n=0", "Idle");
        row("a tick that waits", false, lineOut, "tick:wait", "", "AwaitingLineAck");
        row("stop while a line leaves: it finishes", false, {"start", "scanned", "reply:ACK", "line:L1"}, "stop", "",
            "Ending");
        row("stop again: at once", false, {"start", "scanned", "reply:ACK", "line:L1", "stop"}, "stop",
            "end Stopped/CutShort n=0", "Idle");
        row("stopped line handed over, not yet gone", false, {"start", "scanned", "reply:ACK", "line:L1", "stop"},
            "left", "", "Ending");
        row("stopped line gone: its answer awaited", false, {"start", "scanned", "reply:ACK", "line:L1", "stop"},
            "left:drained", "", "AwaitingLastAck");
        row("stop with the line out: its answer awaited", false, lineOut, "stop", "", "AwaitingLastAck");
        row("stop with bytes still queued", false, lineOut, "stop:queued", "", "Ending");
        row("ACK to the last line counts, then the end", false, lineOut + QStringList{"stop"}, "reply:ACK",
            "end Stopped n=1", "Idle");
        row("NAK to the last line: the end, uncounted", false, lineOut + QStringList{"stop"}, "reply:NAK",
            "end Stopped n=0", "Idle");
        row("no answer to the last line", false, lineOut + QStringList{"stop"}, "tick:silent", "end Stopped n=0",
            "Idle");
        row("a line that will not leave, stopped", false, {"start", "scanned", "reply:ACK", "line:L1", "stop"},
            "tick:stalled", "end Stopped/CutShort n=0", "Idle");
        row("a held line is not waited for", true, lineOut + QStringList{"reply:NAK"}, "stop", "end Stopped n=0",
            "Idle");
        row("stop while reading through", false, {"start"}, "stop", "end Stopped n=0", "Idle");
    }
    void table()
    {
        QFETCH(bool, upload);
        QFETCH(bool, hold);
        QFETCH(QStringList, before);
        QFETCH(QString, input);
        QFETCH(QString, actions);
        QFETCH(QString, state);
        const Protocol::Halt halt = hold ? Protocol::Halt::Hold : Protocol::Halt::End;
        UploadProtocol up(halt);
        DownloadProtocol down(halt);
        UploadProtocol *u = upload ? &up : nullptr;
        DownloadProtocol *d = upload ? nullptr : &down;
        const Protocol &p = upload ? static_cast<const Protocol &>(up) : down;
        for (const QString &step : before)
            feed(u, d, step, hold);
        QCOMPARE(render(feed(u, d, input, hold), p), actions);
        QCOMPARE(QLatin1String(StateNames[int(p.state())]), state);
    }
};

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
