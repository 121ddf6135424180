#pragma once

#include <QString>

#include <optional>

// A parsed settings string such as "115200,n,8,1".
struct LineSettings
{
    enum class Parity { None, Even, Odd, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    qint32 baud = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;

    /// Parses "baud,parity,data,stop": parity one of n e o m s (either case),
    /// data bits 5 to 8, stop bits 1, 1.5 or 2. Anything else gives nullopt.
    static std::optional<LineSettings> parse(const QString &text);
    QString toString() const;

    friend bool operator==(const LineSettings &, const LineSettings &) = default;
};

/// The link settings of every transfer: 115200 baud, no parity, 8 data bits, 1 stop bit.
inline constexpr qint32 LinkBaudRate = 115200;
QString linkSettingsText();
