#include "qmailkeynode.h"

QMailKeyNode::QMailKeyNode(int property, Operator op, const QVariant &value)
    : m_kind(Leaf)
    , m_property(property)
    , m_op(op)
    , m_value(value)
{ }

QMailKeyNode QMailKeyNode::combine(Kind kind, const QMailKeyNode &a, const QMailKeyNode &b)
{
    if (a.m_kind == Empty)
        return b;
    if (b.m_kind == Empty)
        return a;
    QMailKeyNode node;
    node.m_kind = kind;
    // Flatten chains of the same operator so that long combinations stay shallow.
    for (const QMailKeyNode *operand : { &a, &b }) {
        if (operand->m_kind == kind && !operand->m_negated)
            node.m_children += operand->m_children;
        else
            node.m_children.append(*operand);
    }
    return node;
}

QMailKeyNode QMailKeyNode::negated() const
{
    QMailKeyNode node(*this);
    if (m_kind != Empty)
        node.m_negated = !m_negated;
    return node;
}

bool QMailKeyNode::operator==(const QMailKeyNode &other) const
{
    return m_kind == other.m_kind && m_negated == other.m_negated && m_property == other.m_property
        && m_op == other.m_op && m_value == other.m_value && m_children == other.m_children;
}
