// The main window: COM toggle, the transfer windows it opens, focus, QUIT.
#include "gui/DownLoad.h"
#include "gui/Main.h"
#include "gui/QtMessageBox.h"
#include "support/ScriptedParts.h"
#include "support/WindowTexts.h"
#include "gui/Upload.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QFontMetrics>
#include <QMessageBox>
#include <QLabel>
#include <QTest>

namespace {
// The parts of every window the main window of the running test made, in order.
std::vector<TestParts> made;
}

class TestMain : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { made.clear(); }
    void loadSelectsCom1()
    {
        Module1 module;
        module.ComPortNumber = 2; // what a previous run might have left: nothing is kept
        Main main(QStringLiteral("DazuzodeRozevidu"), module, keptTestParts(made));
        QCOMPARE(module.ComPortNumber, qint16(1));
        QCOMPARE(main.cmdCOMPort->text(), QStringLiteral("&COM1"));
        QCOMPARE(main.cmdCOMPort->toolTip(), QStringLiteral("Click to change COM Port"));
        QCOMPARE(main.windowTitle(), QStringLiteral("DazuzodeRozevidu"));
    }

    void comToggle_data()
    {
        QTest::addColumn<int>("presses");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("caption");
        QTest::newRow("once") << 1 << 2 << "COM2";
        QTest::newRow("twice") << 2 << 1 << "COM1";
        QTest::newRow("three times") << 3 << 2 << "COM2";
    }
    void comToggle()
    {
        QFETCH(int, presses);
        QFETCH(int, port);
        QFETCH(QString, caption);
        Module1 module;
        Main main(QStringLiteral("x"), module, keptTestParts(made));
        for (int i = 0; i < presses; ++i)
            QTest::mouseClick(main.cmdCOMPort, Qt::LeftButton);
        QCOMPARE(module.ComPortNumber, qint16(port));
        QCOMPARE(main.cmdCOMPort->text(), caption);
        QCOMPARE(main.Frame3->title(), QStringLiteral("Toggle COM1/COM2"));
    }

    void toggleTreatsAnyOtherValueAsCom2()
    {
        Module1 module;
        Main main(QStringLiteral("x"), module, keptTestParts(made));
        module.ComPortNumber = 7;
        main.cmdCOMPort_Click();
        QCOMPARE(module.ComPortNumber, qint16(1));
    }

    void designGeometry()
    {
        Module1 module;
        Main main(QStringLiteral("x"), module, keptTestParts(made));
        QCOMPARE(main.size(), QSize(350, 173));
        QCOMPARE(main.cmdUpload->geometry(), QRect(40, 40, 111, 25));
        QCOMPARE(main.cmdDownload->geometry(), QRect(40, 120, 111, 25));
        QCOMPARE(main.cmdCOMPort->geometry(), QRect(200, 40, 112, 25));
        QCOMPARE(main.Command1->geometry(), QRect(200, 120, 113, 25));
        QCOMPARE(main.Frame1->geometry(), QRect(24, 16, 145, 65));
        QVERIFY(main.Frame1->font().bold());
        // Frames lie behind the buttons inside them.
        const QObjectList &children = main.children();
        QVERIFY(children.indexOf(main.Frame1) < children.indexOf(main.cmdUpload));
        QCOMPARE(main.Frame1->focusPolicy(), Qt::NoFocus);
        // Tab visits Upload, Download, COM, QUIT.
        QCOMPARE(main.cmdUpload->nextInFocusChain(), main.cmdDownload);
        QCOMPARE(main.cmdDownload->nextInFocusChain(), main.cmdCOMPort);
        QCOMPARE(main.cmdCOMPort->nextInFocusChain(), main.Command1);
    }

    void oneWindowPerButton()
    {
        Module1 module;
        Main main(QStringLiteral("x"), module, keptTestParts(made));
        main.show();
        QVERIFY(!main.uploadWindow());
        main.cmdUpload->click();
        Upload *upload = main.uploadWindow();
        QVERIFY(upload && upload->isVisible());
        QVERIFY(!upload->parentWidget()); // unowned
        main.cmdUpload->click();
        QCOMPARE(main.uploadWindow(), upload);
        main.cmdDownload->click();
        QVERIFY(main.downloadWindow() && main.downloadWindow()->isVisible());
        QVERIFY(upload->isVisible()); // both at once
        QCOMPARE(upload->windowTitle(), QStringLiteral("Upload from terminal"));
        QCOMPARE(main.downloadWindow()->windowTitle(), QStringLiteral("DownLoad to terminal"));
        QCOMPARE(upload->size(), QSize(278, 76));
        QCOMPARE(upload->findChild<QPushButton *>(QStringLiteral("Command1"))->geometry(), QRect(201, 8, 64, 25));
        QCOMPARE(main.downloadWindow()->findChild<QPushButton *>(QStringLiteral("Command1"))->geometry(), QRect(200, 8, 64, 25));
        QCOMPARE(upload->findChild<QLabel *>(QStringLiteral("Label2"))->text(), QString());
        QCOMPARE(main.downloadWindow()->findChild<QLabel *>(QStringLiteral("Label2"))->text(), QStringLiteral("0"));
    }

    void closedWindowComesBackAsDesigned()
    {
        Module1 module;
        Main main(QStringLiteral("x"), module, keptTestParts(made));
        main.cmdUpload->click();
        Upload *upload = main.uploadWindow();
        upload->findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(QStringLiteral("last record"));
        upload->findChild<QLabel *>(QStringLiteral("Label2"))->setText(QStringLiteral("12"));
        made.at(0).dialog->setFileName(QStringLiteral("/tmp/chosen.txt"));
        QVERIFY(upload->close());
        QVERIFY(!upload->isVisible());
        main.cmdUpload->click();
        QCOMPARE(main.uploadWindow(), upload); // the same window object
        QVERIFY(upload->isVisible());
        QCOMPARE(upload->findChild<QLineEdit *>(QStringLiteral("Text1"))->text(), QString());
        QCOMPARE(upload->findChild<QLabel *>(QStringLiteral("Label2"))->text(), QString());
        QCOMPARE(made.at(0).dialog->fileName(), QString());

        main.cmdDownload->click();
        main.downloadWindow()->findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(WindowTexts::Over);
        QVERIFY(main.downloadWindow()->close());
        main.cmdDownload->click();
        QCOMPARE(main.downloadWindow()->findChild<QLineEdit *>(QStringLiteral("Text1"))->text(), QString());
        QVERIFY(!made.at(1).timer->isActive());
    }

    // Message boxes as built for the screen: the whole title shows, a long
    // path wraps instead of widening the box past the screen, texts stay plain.
    void messageBoxes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("title");
        const QString path = QStringLiteral("/home/user/") + QString(150, QLatin1Char('x'))
                             + QStringLiteral("/a-very_long.folder.name/").repeated(8) + QStringLiteral("records.txt");
        QTest::newRow("short text, long title") << WindowTexts::UploadRefused << WindowTexts::CompletedTitle;
        QTest::newRow("long path") << QStringLiteral("Cannot open \"%1\" for writing: Permission denied.").arg(path)
                                   << QString();
        QTest::newRow("markup stays text") << QStringLiteral("<b>R1</b>") << QString();
    }
    void messageBoxes()
    {
        QFETCH(QString, text);
        QFETCH(QString, title);
        QtMessageBox factory;
        const auto box = factory.build({text, title, MessageBox::Buttons::Ok, MessageBox::Icon::Critical});
        const int titleWidth = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar")).horizontalAdvance(box->windowTitle());
        QVERIFY(box->sizeHint().width() > titleWidth);
        // The widest piece the wrap cannot break is what the box must fit.
        const auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
        QVERIFY2(label->minimumSizeHint().width() <= 400, qPrintable(QString::number(label->minimumSizeHint().width())));
        QString shown = box->text();
        shown.remove(QChar(0x200B));
        QCOMPARE(shown, text); // only invisible break points were added
        QCOMPARE(box->textFormat(), Qt::PlainText);
    }

    void activationPutsFocusOnUpload()
    {
        Module1 module;
        Main main(QStringLiteral("x"), module, keptTestParts(made));
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        QCOMPARE(QApplication::focusWidget(), main.cmdUpload);
        main.Command1->setFocus();
        main.cmdDownload->click();
        QVERIFY(QTest::qWaitForWindowActive(main.downloadWindow()));
        main.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        QCOMPARE(QApplication::focusWidget(), main.cmdUpload);
    }

    void programRunsWhileATransferWindowIsOpen()
    {
        Module1 module;
        Main main(QStringLiteral("x"), module, keptTestParts(made));
        main.show();
        main.cmdUpload->click();
        QVERIFY(main.close());
        // The upload window stays, and as a window of its own it keeps the
        // program running until it is closed too.
        QVERIFY(main.uploadWindow()->isVisible());
        QVERIFY(main.uploadWindow()->isWindow());
        QVERIFY(main.uploadWindow()->testAttribute(Qt::WA_QuitOnClose));
    }

    // Last: it ends the event loop of this process.
    void quitEndsTheProgramAtOnce()
    {
        Module1 module;
        Main main(QStringLiteral("x"), module, keptTestParts(made));
        main.show();
        main.cmdUpload->click();
        QEventLoop loop; // stands for the program's main loop
        QTimer::singleShot(0, main.Command1, [&] { main.Command1->click(); });
        QTimer::singleShot(5000, &loop, [&] { loop.exit(99); });
        QCOMPARE(loop.exec(), 0);
    }
};

QTEST_MAIN(TestMain)
#include "tst_main.moc"
