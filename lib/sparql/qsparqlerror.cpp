#include "qsparqlerror.h"

QSparqlError::QSparqlError(const QString &message, ErrorType type, int number)
    : m_message(message)
    , m_type(type)
    , m_number(number)
{ }
