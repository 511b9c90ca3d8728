// One windowed phone per data folder: a second kestrel on the same folder
// raises the first and exits 0; on another folder both run.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest/QtTest>

class SingleInstanceTest : public QObject {
    Q_OBJECT

    static void start(QProcess& p, const QString& dataFolder)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LOCALAPPDATA", dataFolder);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::SeparateChannels);
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setReadChannel(QProcess::StandardError);
        p.start(QStringLiteral(KESTREL_EXE), {});
        QVERIFY(p.waitForStarted());
    }

    // Reads standard error until the line appears or the process ends.
    static bool waitForLine(QProcess& p, const QByteArray& line, QByteArray& seen)
    {
        for (int quiet = 0; !seen.contains(line) && quiet < 3;) {
            if (!p.waitForReadyRead(20000)) ++quiet;
            seen += p.readAllStandardError();
            if (p.state() == QProcess::NotRunning) break;
        }
        return seen.contains(line);
    }

    static void finish(QProcess& p)
    {
        p.terminate();
        if (!p.waitForFinished(30000)) p.kill();
        p.waitForFinished();
    }

private slots:
    void secondStartRaisesTheFirst()
    {
        QTemporaryDir folder;
        QProcess first, second;
        QByteArray firstErr;
        start(first, folder.path());
        QVERIFY2(waitForLine(first, "kestrel: ready", firstErr), firstErr.constData());
        start(second, folder.path());
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(waitForLine(first, "kestrel: raised by a second start", firstErr), firstErr.constData());
        QCOMPARE(first.state(), QProcess::Running);
        finish(first);
    }

    void anotherFolderRunsItsOwn()
    {
        QTemporaryDir a, b;
        QProcess first, second;
        QByteArray firstErr, secondErr;
        start(first, a.path());
        QVERIFY2(waitForLine(first, "kestrel: ready", firstErr), firstErr.constData());
        start(second, b.path());
        QVERIFY2(waitForLine(second, "kestrel: ready", secondErr), secondErr.constData());
        QCOMPARE(first.state(), QProcess::Running);
        QCOMPARE(second.state(), QProcess::Running);
        QVERIFY(!firstErr.contains("raised"));
        finish(second);
        finish(first);
    }
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "test_single_instance.moc"
