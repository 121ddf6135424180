// LineSettings::parse against a grammar written out here on raw bytes:
//   settings := baud "," parity "," data "," stop
//   baud     := ASCII digit+ whose value is 1 to 4000000 (leading zeros allowed)
//   parity   := one of n e o m s N E O M S
//   data     := 5 | 6 | 7 | 8
//   stop     := 1 | 1.5 | 2
// The input is read as UTF-8, so non-ASCII digits and look-alikes reach the
// parser too. Accepted settings must survive toString() and parse again.
#include "FuzzSupport.h"
#include "link/LineSettings.h"

#include <optional>

namespace {

std::optional<LineSettings> reference(const QByteArray &text)
{
    const QList<QByteArray> f = text.split(',');
    if (f.size() != 4 || f[0].isEmpty())
        return std::nullopt;
    qint64 baud = 0;
    for (char c : f[0]) {
        if (c < '0' || c > '9')
            return std::nullopt;
        baud = baud * 10 + (c - '0');
        if (baud > 4'000'000)
            return std::nullopt;
    }
    if (baud < 1)
        return std::nullopt;
    LineSettings s;
    s.baud = qint32(baud);

    if (f[1].size() != 1)
        return std::nullopt;
    switch (f[1][0]) {
    case 'n': case 'N': s.parity = LineSettings::Parity::None; break;
    case 'e': case 'E': s.parity = LineSettings::Parity::Even; break;
    case 'o': case 'O': s.parity = LineSettings::Parity::Odd; break;
    case 'm': case 'M': s.parity = LineSettings::Parity::Mark; break;
    case 's': case 'S': s.parity = LineSettings::Parity::Space; break;
    default: return std::nullopt;
    }

    if (f[2].size() != 1 || f[2][0] < '5' || f[2][0] > '8')
        return std::nullopt;
    s.dataBits = f[2][0] - '0';

    if (f[3] == "1")
        s.stopBits = LineSettings::StopBits::One;
    else if (f[3] == "1.5")
        s.stopBits = LineSettings::StopBits::OneAndHalf;
    else if (f[3] == "2")
        s.stopBits = LineSettings::StopBits::Two;
    else
        return std::nullopt;
    return s;
}

// The one spelling of a setting: no leading zeros, lower-case parity.
QByteArray canonical(const LineSettings &s)
{
    static const char parity[] = "neoms";
    const char *stop = s.stopBits == LineSettings::StopBits::One ? "1"
                       : s.stopBits == LineSettings::StopBits::Two ? "2" : "1.5";
    return QByteArray::number(s.baud) + ',' + parity[int(s.parity)] + ',' + QByteArray::number(s.dataBits) + ','
           + stop;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = QString::fromUtf8(bytes);
    const std::optional<LineSettings> parsed = LineSettings::parse(text);
    // Invalid UTF-8 decodes to replacement characters; the grammar is ASCII,
    // so judging the raw bytes decides the same question.
    const std::optional<LineSettings> expected = reference(bytes);

    FUZZ_CHECK(parsed.has_value() == expected.has_value(), bytes);
    if (!parsed)
        return 0;
    FUZZ_CHECK(*parsed == *expected, bytes);
    const QString written = parsed->toString();
    FUZZ_CHECK(written.toLatin1() == canonical(*parsed), written.toUtf8());
    const std::optional<LineSettings> again = LineSettings::parse(written);
    FUZZ_CHECK(again && *again == *parsed, written.toUtf8());
    return 0;
}
