#ifndef QMAILACCOUNTSORTKEY_H
#define QMAILACCOUNTSORTKEY_H

#include "qmailaccountkey.h"

#endif // QMAILACCOUNTSORTKEY_H
