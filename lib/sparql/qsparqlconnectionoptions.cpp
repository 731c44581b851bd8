#include "qsparqlconnectionoptions.h"

namespace {
const QString dataPathOption = QStringLiteral("dataPath");
const QString ontologyPathOption = QStringLiteral("ontologyPath");
const QString busNameOption = QStringLiteral("busName");
} // namespace

void QSparqlConnectionOptions::setOption(const QString &name, const QVariant &value)
{
    m_options.insert(name, value);
}

QVariant QSparqlConnectionOptions::option(const QString &name) const
{
    return m_options.value(name);
}

bool QSparqlConnectionOptions::hasOption(const QString &name) const
{
    return m_options.contains(name);
}

void QSparqlConnectionOptions::setDataPath(const QString &path)
{
    setOption(dataPathOption, path);
}

QString QSparqlConnectionOptions::dataPath() const
{
    return option(dataPathOption).toString();
}

void QSparqlConnectionOptions::setOntologyPath(const QString &path)
{
    setOption(ontologyPathOption, path);
}

QString QSparqlConnectionOptions::ontologyPath() const
{
    return option(ontologyPathOption).toString();
}

void QSparqlConnectionOptions::setBusName(const QString &name)
{
    setOption(busNameOption, name);
}

QString QSparqlConnectionOptions::busName() const
{
    return option(busNameOption).toString();
}
