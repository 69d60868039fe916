#include "network/networklog.h"

Q_LOGGING_CATEGORY(lcNames, "trelvan.names")
