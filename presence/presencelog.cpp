#include "presence/presencelog.h"

Q_LOGGING_CATEGORY(lcPresence, "trelvan.presence")
