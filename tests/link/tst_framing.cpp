// Message framing and reply assembly.
#include "link/Framing.h"

#include <QTest>

class TestFraming : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void frameAddsOneCr()
    {
        QCOMPARE(frame("READ"), QByteArray("READ\r"));
        QCOMPARE(frame(""), QByteArray("\r"));
        QCOMPARE(frame(QByteArray("\0\xff\n", 3)), QByteArray("\0\xff\n\r", 4));
    }

    // Reads as they arrive (hex), and the replies they complete, in order.
    void assembly_data()
    {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::addColumn<QByteArray>("leftOver");
        auto hex = [](const char *h) { return QByteArray::fromHex(h); };
        QTest::newRow("one whole reply") << QList<QByteArray>{hex("4e4558540d")} << QList<QByteArray>{"NEXT"}
                                         << QByteArray();
        QTest::newRow("split over two reads") << QList<QByteArray>{hex("4e45"), hex("58540d")}
                                              << QList<QByteArray>{"NEXT"} << QByteArray();
        QTest::newRow("two messages in one read keep the inner CR")
            << QList<QByteArray>{hex("4e4558540d4e4558540d")} << QList<QByteArray>{"NEXT\rNEXT"} << QByteArray();
        QTest::newRow("whole reply then start of next is no reply yet")
            << QList<QByteArray>{hex("41434b0d4143"), hex("4b0d")} << QList<QByteArray>{"ACK\rACK"} << QByteArray();
        QTest::newRow("lone CR is an empty reply") << QList<QByteArray>{hex("0d")} << QList<QByteArray>{""}
                                                   << QByteArray();
        QTest::newRow("LF last never completes") << QList<QByteArray>{hex("41434b0d0a")} << QList<QByteArray>{}
                                                 << QByteArray("ACK\r\n");
        QTest::newRow("LF inside is kept") << QList<QByteArray>{hex("0a41434b0d")} << QList<QByteArray>{"\nACK"}
                                           << QByteArray();
        QTest::newRow("NUL and 8-bit bytes are kept")
            << QList<QByteArray>{hex("00ff80"), hex("0d"), hex("e90d")}
            << QList<QByteArray>{hex("00ff80"), hex("e9")} << QByteArray();
        QTest::newRow("empty read changes nothing") << QList<QByteArray>{hex(""), hex("41")}
                                                    << QList<QByteArray>{} << QByteArray("A");
    }
    void assembly()
    {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QList<QByteArray>, replies);
        QFETCH(QByteArray, leftOver);
        QByteArray rx;
        QList<QByteArray> got;
        for (const QByteArray &r : reads) {
            if (assembleReply(rx, r)) {
                got.append(rx);
                rx.clear(); // as the windows do once they have handled a reply
            }
        }
        QCOMPARE(got, replies);
        QCOMPARE(rx, leftOver);
    }

    void keptTextBecomesFrontOfNextReply()
    {
        QByteArray rx = "NAK"; // a refused reply left in place
        QVERIFY(!assembleReply(rx, "AC"));
        QVERIFY(assembleReply(rx, "K\r"));
        QCOMPARE(rx, QByteArray("NAKACK"));
    }
};

QTEST_MAIN(TestFraming)
#include "tst_framing.moc"
