// A simulated portable data terminal on the far end of a pseudo-terminal.
// It plays the terminal's side of the RS-232 dialogue so the PC program can
// be exercised end to end without hardware, with optional misbehaviour.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace simterm {

struct Options {
    // No automatic replies: the test plays the terminal through sendRaw().
    bool manual = false;

    // The Nth reply (1-based, counting every reply) becomes "NAK" (or
    // sayText when set) and the request it answers is refused (no record
    // removed, no line stored).
    int nakAtReply = 0;               // 0 = off
    QByteArray sayText;               // instead of "NAK": "NEXT" answers a READ with NEXT
    // A CR alone goes out just before the Nth reply (noise, a cradle's power-up).
    int loneCrAtReply = 0;            // 0 = off
    // The Nth reply never ends: bytes without a CR (a wrong baud rate, another
    // device) until the PC stops reading or 20 MiB have gone.
    int endlessAtReply = 0;           // 0 = off
    // Every byte the PC sends comes straight back (echo on, a loopback plug);
    // with echoCrAsLf its CR comes back as LF.
    bool echo = false;
    bool echoCrAsLf = false;
    // After each DONE the terminal holds this many new records again: every
    // poll of a collector is then a docking (for long runs of them).
    int refillAfterDone = 0;
    // In its cradle: a terminal that is not says nothing, while its device
    // stays present (setDocked() changes it).
    bool docked = true;
    // After N replies the terminal ignores everything (a hung terminal).
    int silentAfterReplies = -1;      // -1 = off, 0 = never answers
    // After N replies the master side is closed as soon as the PC's next
    // message is complete, like a USB adapter being pulled. Waiting for that
    // message keeps the Nth reply from being flushed away by the hang-up.
    int hangupAfterReplies = -1;      // -1 = off

    int splitPieces = 1;              // each reply written in K pieces
    std::chrono::milliseconds pauseBetweenPieces{0};
    bool doubleReplies = false;       // "ACK\rACK\r" in one write
    // The Nth reply (1-based) goes out with its last byte changed, as line
    // noise would ("NEXT" becomes "NEXU"); what it answers has taken effect.
    int corruptAtReply = 0;           // 0 = off
    // After reading N bytes from the PC the terminal reads nothing more (a
    // crashed terminal, or one holding CTS low): the line fills up.
    std::int64_t stopReadingAfterBytes = -1;  // -1 = off
    bool crlfEndings = false;         // replies end CR LF
    std::chrono::milliseconds replyDelay{0};
    int baud = 0;                     // 0 = unthrottled; else 10 bits a byte
    // Keep no history (transcript chunks, received bytes, messages, stored
    // lines, timings) in memory, only counts: for runs of millions of
    // messages. The transcript file and lineStored still see everything.
    bool lean = false;

    QString linkPath;                 // symlink to the slave, if not empty
    QString transcriptPath;           // transcript file, if not empty

    // Called on the terminal's thread. lineStored runs before the line's
    // "ACK" is sent; sessionEnded after "DONE" (upload) or "OVER" (download).
    std::function<void(const QByteArray &line)> lineStored;
    enum class Session { Upload, Download };
    std::function<void(Session)> sessionEnded;
};

enum class Direction { FromPc, FromTerminal };

struct TranscriptChunk {
    std::int64_t micros = 0;          // steady clock since construction
    Direction direction = Direction::FromPc;
    QByteArray bytes;
};

// One complete message from the PC.
struct MessageTiming {
    QByteArray text;                  // without the CR
    std::int64_t firstByteMicros = 0; // read() that delivered its first byte
    std::int64_t crMicros = 0;        // read() that delivered its CR
};

// One reply written by the terminal (an injected "NAK" included).
struct ReplyTiming {
    QByteArray text;                  // without line ending
    std::int64_t lastByteMicros = 0;  // write() of its final CR returned
};

class SimTerminal {
public:
    explicit SimTerminal(std::vector<QByteArray> records = {}, Options options = {});
    ~SimTerminal();
    SimTerminal(const SimTerminal &) = delete;
    SimTerminal &operator=(const SimTerminal &) = delete;

    bool isOk() const;                // pty created and thread running
    QString errorString() const;
    QString slavePath() const;        // e.g. /dev/pts/7
    QString linkPath() const;         // symlink asked for in Options, or empty

    // Closes the master side at once, as if the adapter were pulled.
    void hangUpNow();
    // Puts the terminal in its cradle, or takes it out: out of it, what the
    // PC sends reaches nobody and nothing comes back.
    void setDocked(bool docked);
    void stop();                      // idempotent; the destructor calls it
    bool isRunning() const;
    bool hungUp() const;

    // Writes exact bytes from the terminal side right away (no pacing, no
    // splitting). Returns false once the master is closed.
    bool sendRaw(const QByteArray &bytes);

    std::vector<QByteArray> remainingRecords() const;
    std::vector<QByteArray> downloadedLines() const;
    QByteArray receivedBytes() const;
    std::vector<QByteArray> receivedMessages() const;
    int messagesReceived() const;
    int repliesSent() const;
    std::int64_t linesStored() const; // counted in lean mode too
    bool uploadDone() const;
    bool downloadDone() const;
    bool inDownload() const;

    std::vector<TranscriptChunk> transcript() const;
    std::vector<MessageTiming> messageTimings() const;
    std::vector<ReplyTiming> replyTimings() const;
    std::int64_t elapsedMicros() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Records file as the PC writes an upload: each record then CR LF; a final
// record without CR LF counts too.
std::vector<QByteArray> parseRecordFile(const QByteArray &contents);
// N records of S bytes, deterministic, never containing CR or LF.
std::vector<QByteArray> generateRecords(int count, int size);
// A few inventory-like lines for demonstrations.
std::vector<QByteArray> sampleRecords();
// "<micros> PC|TERM <hex>  <printable>" as written to the transcript file.
QByteArray formatTranscriptLine(const TranscriptChunk &chunk);

} // namespace simterm
