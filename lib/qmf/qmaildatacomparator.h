#ifndef QMAILDATACOMPARATOR_H
#define QMAILDATACOMPARATOR_H

// How a key compares a stored property with the value it was built from.
namespace QMailDataComparator {

enum EqualityComparator { Equal, NotEqual };

// For lists of values: one of them (Includes) or none of them (Excludes).
// For status masks: every bit of the mask set (Includes) or none set (Excludes).
// For texts: the text contains the value (Includes) or does not (Excludes).
enum InclusionComparator { Includes, Excludes };

enum RelationComparator { LessThan, LessThanEqual, GreaterThan, GreaterThanEqual };

} // namespace QMailDataComparator

#endif // QMAILDATACOMPARATOR_H
