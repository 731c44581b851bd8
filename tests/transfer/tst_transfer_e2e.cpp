// placeholder
#include <QtTest>
class E : public QObject
{
    Q_OBJECT
};
QTEST_GUILESS_MAIN(E)
#include "tst_transfer_e2e.moc"
