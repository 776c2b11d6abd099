// Bytes kept in memory up to the threshold and in their own file beyond it.

#include "platform/spillstore.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Tarnwick;

class TestSpillStore : public QObject {
    Q_OBJECT
private slots:
    void keepsEveryByte_data();
    void keepsEveryByte();
};

void TestSpillStore::keepsEveryByte_data() {
    QTest::addColumn<QList<int>>("pieces");
    QTest::addColumn<bool>("spilled");
    QTest::newRow("up to the threshold in memory") << QList<int>{400, 600} << false;
    QTest::newRow("one byte past it in the file") << QList<int>{400, 601} << true;
    QTest::newRow("one large piece") << QList<int>{300000} << true;
    QTest::newRow("pieces after the spill") << QList<int>{900, 200, 3000, 1} << true;
}

void TestSpillStore::keepsEveryByte() {
    QFETCH(QList<int>, pieces);
    QFETCH(bool, spilled);
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("~tarnwick-temp-3"));
    QByteArray all;
    QRandomGenerator random(5);
    {
        SpillStore store(1000);
        store.setFileName(name);
        for (int size : pieces) {
            QByteArray piece(size, Qt::Uninitialized);
            for (int k = 0; k < size; ++k)
                piece[k] = char(random.bounded(256));
            QVERIFY(store.append(piece));
            all += piece;
        }
        QCOMPARE(store.spilled(), spilled);
        QCOMPARE(QFile::exists(name), spilled);
        QCOMPARE(store.size(), all.size());
        // The start, where a head is read, stays in memory.
        QCOMPARE(store.start(), QByteArrayView(all).first(
                                    std::min<qsizetype>(all.size(), SpillStore::KeptPrefix)));
        const QByteArray tail = all.right(16);
        QCOMPARE(store.find(tail, 0), all.size() - 16);
        // The name may go while the bytes are still being read.
        store.removeName();
        QVERIFY(!QFile::exists(name));
        QByteArray read;
        QVERIFY(store.readAll(read));
        QCOMPARE(read, all);
    }
    QVERIFY(QDir(dir.path()).isEmpty());
}

QTEST_GUILESS_MAIN(TestSpillStore)
#include "tst_spillstore.moc"
