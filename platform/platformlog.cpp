#include "platform/platformlog.h"

Q_LOGGING_CATEGORY(lcArp, "trelvan.arp")
Q_LOGGING_CATEGORY(lcHelper, "trelvan.helper")
