#pragma once

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QTextDocumentFragment>
#include <QToolTip>

// What a tooltip shows: the characters its text draws, markup or not.
inline QString ToolTipShows(const QString &tip)
{
    return Qt::mightBeRichText(tip) ? QTextDocumentFragment::fromHtml(tip).toPlainText() : tip;
}

// Rests the pointer on a cell of the view, as far as Qt can tell, and returns
// the tooltip that comes up (the label Qt draws it with), or nullptr.
inline QLabel *HoverToolTip(QAbstractItemView *view, const QModelIndex &index)
{
    QToolTip::hideText();
    view->scrollTo(index);
    const QPoint at = view->visualRect(index).center();
    QHelpEvent event(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &event);
    const QWidgetList widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets)
        if (widget->objectName() == QLatin1String("qtooltip_label") && widget->isVisible())
            return qobject_cast<QLabel *>(widget);
    return nullptr;
}
