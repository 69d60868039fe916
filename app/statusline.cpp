#include "app/statusline.h"

std::optional<QString> StatusLineFor(const StatusLines &held, StatusOffer offer,
                                     const QString &line)
{
    switch (offer) {
    case StatusOffer::Refusal:
    case StatusOffer::Unsaved:
        return line;
    case StatusOffer::Saved:
        return !held.refused.isEmpty()   ? held.refused
               : !held.history.isEmpty() ? held.history
                                         : line;
    case StatusOffer::History:
        if (!held.refused.isEmpty() || !held.unsaved.isEmpty())
            return std::nullopt;
        return line.isEmpty() ? held.scan : line;
    case StatusOffer::Scan:
    case StatusOffer::Notice:
        break;
    }
    if (!held.refused.isEmpty() || !held.unsaved.isEmpty() || !held.history.isEmpty())
        return std::nullopt;
    return line;
}
