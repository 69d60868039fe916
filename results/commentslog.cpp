#include "results/commentslog.h"

Q_LOGGING_CATEGORY(lcComments, "trelvan.comments")
