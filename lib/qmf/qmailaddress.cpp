#include "qmailaddress.h"

#include "qmailcodec_p.h"

#include <QDebug>

namespace {

// Splits at top-level commas: not inside quotes, comments or angle brackets.
QStringList splitAddressList(const QString &text)
{
    QStringList parts;
    QString current;
    bool quoted = false;
    int comment = 0;
    bool angle = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            current.append(c);
            if (c == QLatin1Char('\\') && i + 1 < text.size())
                current.append(text.at(++i));
            else if (c == QLatin1Char('"'))
                quoted = false;
            continue;
        }
        if (c == QLatin1Char('"') && comment == 0) {
            quoted = true;
        } else if (c == QLatin1Char('(')) {
            ++comment;
        } else if (c == QLatin1Char(')') && comment > 0) {
            --comment;
        } else if (comment == 0 && c == QLatin1Char('<')) {
            angle = true;
        } else if (comment == 0 && c == QLatin1Char('>')) {
            angle = false;
        } else if (comment == 0 && !angle && (c == QLatin1Char(',') || c == QLatin1Char(';'))) {
            if (!current.trimmed().isEmpty())
                parts.append(current);
            current.clear();
            continue;
        }
        current.append(c);
    }
    if (!current.trimmed().isEmpty())
        parts.append(current);
    return parts;
}

QString unquote(QString text)
{
    text = text.trimmed();
    if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'))) {
        text = text.mid(1, text.size() - 2);
        QString out;
        for (int i = 0; i < text.size(); ++i) {
            if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size())
                ++i;
            out.append(text.at(i));
        }
        return out;
    }
    return text;
}

QString decodeName(const QString &name)
{
    if (name.contains(QLatin1String("=?")))
        return QMailCodec::decodeHeaderText(name.toUtf8());
    return name;
}

} // namespace

QMailAddress::QMailAddress(const QString &text)
{
    QString source = text.trimmed();
    // A group label ("Team: a@b") is not part of the address.
    const int colon = source.indexOf(QLatin1Char(':'));
    if (colon > 0 && !source.left(colon).contains(QLatin1Char('"'))
        && !source.left(colon).contains(QLatin1Char('<'))
        && !source.left(colon).contains(QLatin1Char('@')))
        source = source.mid(colon + 1).trimmed();
    if (source.endsWith(QLatin1Char(';')))
        source.chop(1);

    // Find an angle-bracketed address outside quotes.
    bool quoted = false;
    int open = -1;
    for (int i = 0; i < source.size(); ++i) {
        const QChar c = source.at(i);
        if (c == QLatin1Char('\\') && quoted) {
            ++i;
            continue;
        }
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char('<')) {
            open = i;
            break;
        }
    }
    if (open >= 0) {
        int close = source.indexOf(QLatin1Char('>'), open + 1);
        if (close < 0)
            close = source.size();
        m_address = source.mid(open + 1, close - open - 1).trimmed();
        m_name = decodeName(unquote(source.left(open)));
        if (m_name.isEmpty()) {
            // "<a@b> (Name)": the comment names the address.
            const QString rest = source.mid(close + 1).trimmed();
            if (rest.startsWith(QLatin1Char('(')) && rest.endsWith(QLatin1Char(')')))
                m_name = decodeName(rest.mid(1, rest.size() - 2).trimmed());
        }
    } else {
        // "user@host (Name)" or a bare address.
        QString address;
        QString comment;
        int depth = 0;
        for (const QChar c : source) {
            if (c == QLatin1Char('(')) {
                if (depth++ == 0)
                    continue;
            } else if (c == QLatin1Char(')') && depth > 0) {
                if (--depth == 0)
                    continue;
            }
            if (depth > 0)
                comment.append(c);
            else
                address.append(c);
        }
        m_address = unquote(address.trimmed());
        m_name = decodeName(comment.trimmed());
    }
    // "a@b <a@b>" names nobody: it is the same address as "a@b".
    if (m_name == m_address)
        m_name.clear();
}

QMailAddress::QMailAddress(const QString &name, const QString &address)
    : m_name(name.trimmed())
    , m_address(address.trimmed())
{
    if (m_name == m_address)
        m_name.clear();
}

QString QMailAddress::toString(bool forceDelimited) const
{
    if (m_name.isEmpty())
        return forceDelimited && !m_address.isEmpty()
            ? QLatin1Char('<') + m_address + QLatin1Char('>')
            : m_address;
    QString name = m_name;
    static const QString specials = QStringLiteral("()<>@,;:\\\".[]");
    bool needsQuotes = false;
    for (const QChar c : name) {
        if (specials.contains(c)) {
            needsQuotes = true;
            break;
        }
    }
    if (needsQuotes) {
        name.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
        name.replace(QLatin1Char('"'), QLatin1String("\\\""));
        name = QLatin1Char('"') + name + QLatin1Char('"');
    }
    if (m_address.isEmpty())
        return name;
    return name + QLatin1String(" <") + m_address + QLatin1Char('>');
}

bool QMailAddress::operator==(const QMailAddress &other) const
{
    return m_address == other.m_address && m_name == other.m_name;
}

QList<QMailAddress> QMailAddress::fromStringList(const QString &list)
{
    QList<QMailAddress> result;
    for (const QString &part : splitAddressList(list)) {
        QMailAddress address(part);
        if (!address.isNull())
            result.append(address);
    }
    return result;
}

QList<QMailAddress> QMailAddress::fromStringList(const QStringList &list)
{
    QList<QMailAddress> result;
    for (const QString &entry : list)
        result += fromStringList(entry);
    return result;
}

QStringList QMailAddress::toStringList(const QList<QMailAddress> &list, bool forceDelimited)
{
    QStringList result;
    for (const QMailAddress &address : list)
        result.append(address.toString(forceDelimited));
    return result;
}

QDebug operator<<(QDebug debug, const QMailAddress &address)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << "QMailAddress(" << address.toString() << ')';
    return debug;
}
