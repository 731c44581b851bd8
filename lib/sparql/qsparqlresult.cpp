#include "qsparqlresult.h"

#include <QEventLoop>

QSparqlResult::QSparqlResult(QObject *parent)
    : QObject(parent)
{ }

QSparqlResult::~QSparqlResult() = default;

void QSparqlResult::waitForFinished()
{
    if (m_finished) {
        return;
    }
    QEventLoop loop;
    connect(this, &QSparqlResult::finished, &loop, &QEventLoop::quit);
    loop.exec();
}

bool QSparqlResult::next()
{
    if (m_pos + 1 >= m_rows.size()) {
        m_pos = m_rows.size();
        return false;
    }
    ++m_pos;
    return true;
}

QVariant QSparqlResult::value(int column) const
{
    if (m_pos < 0 || m_pos >= m_rows.size()) {
        return QVariant();
    }
    return m_rows.at(m_pos).value(column);
}

bool QSparqlResult::boolValue() const
{
    return !m_rows.isEmpty() && m_rows.first().value(0).toBool();
}

void QSparqlResult::finish(const QSparqlError &error)
{
    m_error = error;
    m_finished = true;
    Q_EMIT finished();
}
