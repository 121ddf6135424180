#include "link/LineSettings.h"

#include <QStringList>

std::optional<LineSettings> LineSettings::parse(const QString &text)
{
    const QStringList fields = text.split(QLatin1Char(','));
    if (fields.size() != 4)
        return std::nullopt;

    LineSettings s;
    bool ok = false;
    const qint64 baud = fields[0].toLongLong(&ok);
    // Digits only: toLongLong would also take a sign or blanks.
    for (QChar c : fields[0])
        if (!c.isDigit())
            return std::nullopt;
    if (!ok || baud <= 0 || baud > 4'000'000)
        return std::nullopt;
    s.baud = static_cast<qint32>(baud);

    if (fields[1].size() != 1)
        return std::nullopt;
    switch (fields[1][0].toLower().unicode()) {
    case 'n': s.parity = Parity::None; break;
    case 'e': s.parity = Parity::Even; break;
    case 'o': s.parity = Parity::Odd; break;
    case 'm': s.parity = Parity::Mark; break;
    case 's': s.parity = Parity::Space; break;
    default: return std::nullopt;
    }

    if (fields[2].size() != 1 || fields[2][0] < QLatin1Char('5') || fields[2][0] > QLatin1Char('8'))
        return std::nullopt;
    s.dataBits = fields[2][0].unicode() - '0';

    if (fields[3] == QLatin1String("1"))
        s.stopBits = StopBits::One;
    else if (fields[3] == QLatin1String("1.5"))
        s.stopBits = StopBits::OneAndHalf;
    else if (fields[3] == QLatin1String("2"))
        s.stopBits = StopBits::Two;
    else
        return std::nullopt;
    return s;
}

QString LineSettings::toString() const
{
    static const char parityChars[] = {'n', 'e', 'o', 'm', 's'};
    const char *stop = stopBits == StopBits::One ? "1" : stopBits == StopBits::Two ? "2" : "1.5";
    return QStringLiteral("%1,%2,%3,%4")
        .arg(baud)
        .arg(QLatin1Char(parityChars[static_cast<int>(parity)]))
        .arg(dataBits)
        .arg(QLatin1String(stop));
}

QString linkSettingsText()
{
    return QString::number(LinkBaudRate) + QStringLiteral(",n,8,1");
}
