#include "app/trelvanwindowui.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMetaObject>
#include <QPixmap>
#include <QPushButton>
#include <QSpacerItem>
#include <QTableWidget>

namespace {

// Keeps the widget class' own height-for-width flag, as a designer form does.
void SetPolicy(QWidget *widget, QSizePolicy::Policy horizontal, QSizePolicy::Policy vertical,
               int horizontalStretch, int verticalStretch)
{
    QSizePolicy policy(horizontal, vertical);
    policy.setHorizontalStretch(horizontalStretch);
    policy.setVerticalStretch(verticalStretch);
    policy.setHeightForWidth(widget->sizePolicy().hasHeightForWidth());
    widget->setSizePolicy(policy);
}

} // namespace

void TrelvanWindowUi::setupUi(QDialog *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("TrelvanWindowClass"));
    window->resize(600, 600);
    window->setMinimumSize(QSize(300, 150));
    window->setContextMenuPolicy(Qt::ActionsContextMenu);
    QIcon icon;
    icon.addPixmap(QPixmap(QStringLiteral(":/res/trelvan.ico")), QIcon::Normal, QIcon::Off);
    window->setWindowIcon(icon);
    window->setAutoFillBackground(false);
    window->setSizeGripEnabled(true);

    Layout_ = new QGridLayout(window);
    Layout_->setSpacing(6);
    Layout_->setContentsMargins(10, 10, 10, 10);
    Layout_->setObjectName(QStringLiteral("Layout_"));
    Layout_->setSizeConstraint(QLayout::SetDefaultConstraint);

    NetworksLayout_ = new QHBoxLayout();
    NetworksLayout_->setSpacing(6);
    NetworksLayout_->setObjectName(QStringLiteral("NetworksLayout_"));
    NetworksLayout_->setSizeConstraint(QLayout::SetDefaultConstraint);

    PickNetwork_ = new QLabel(window);
    PickNetwork_->setObjectName(QStringLiteral("PickNetwork_"));
    SetPolicy(PickNetwork_, QSizePolicy::Minimum, QSizePolicy::Preferred, 0, 0);
    NetworksLayout_->addWidget(PickNetwork_);

    Networks_ = new QComboBox(window);
    Networks_->setObjectName(QStringLiteral("Networks_"));
    SetPolicy(Networks_, QSizePolicy::Expanding, QSizePolicy::Fixed, 1, 0);
    Networks_->setInsertPolicy(QComboBox::InsertAlphabetically);
    NetworksLayout_->addWidget(Networks_);

    Layout_->addLayout(NetworksLayout_, 0, 0, 1, 1);

    FoundHosts_ = new QLabel(window);
    FoundHosts_->setObjectName(QStringLiteral("FoundHosts_"));
    SetPolicy(FoundHosts_, QSizePolicy::Preferred, QSizePolicy::Preferred, 1, 0);
    Layout_->addWidget(FoundHosts_, 1, 0, 1, 1);

    ButtonsLayout_ = new QHBoxLayout();
    ButtonsLayout_->setSpacing(6);
    ButtonsLayout_->setObjectName(QStringLiteral("ButtonsLayout_"));
    ButtonsLayout_->setSizeConstraint(QLayout::SetDefaultConstraint);

    ButtonsSpacer_ = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);
    ButtonsLayout_->addItem(ButtonsSpacer_);

    History_ = new QPushButton(window);
    History_->setObjectName(QStringLiteral("History_"));
    ButtonsLayout_->addWidget(History_);

    About_ = new QPushButton(window);
    About_->setObjectName(QStringLiteral("About_"));
    ButtonsLayout_->addWidget(About_);

    Close_ = new QPushButton(window);
    Close_->setObjectName(QStringLiteral("Close_"));
    ButtonsLayout_->addWidget(Close_);

    Layout_->addLayout(ButtonsLayout_, 4, 0, 1, 1);

    Hosts_ = new QTableWidget(window);
    Hosts_->setObjectName(QStringLiteral("Hosts_"));
    SetPolicy(Hosts_, QSizePolicy::Expanding, QSizePolicy::Expanding, 1, 1);
    Hosts_->setMinimumSize(QSize(100, 20));
    Hosts_->setAlternatingRowColors(true);
    // The row menu (right button, menu key); the window keeps its own policy.
    Hosts_->setContextMenuPolicy(Qt::CustomContextMenu);
    Layout_->addWidget(Hosts_, 2, 0, 1, 1);

    Status_ = new QLabel(window);
    Status_->setObjectName(QStringLiteral("Status_"));
    // Status lines may name a host or a file: never read as markup.
    Status_->setTextFormat(Qt::PlainText);
    Layout_->addWidget(Status_, 3, 0, 1, 1);

    Layout_->setRowStretch(2, 1);
    Layout_->setColumnStretch(0, 1);

    PickNetwork_->setBuddy(Networks_);
    QWidget::setTabOrder(Networks_, Hosts_);
    QWidget::setTabOrder(Hosts_, Close_);

    retranslateUi(window);

    QMetaObject::connectSlotsByName(window);
}

void TrelvanWindowUi::retranslateUi(QDialog *window)
{
    window->setWindowTitle(QCoreApplication::translate("TrelvanWindowClass", "Trelvan"));
    // A no-break space keeps the colon on the line of "réseau".
    PickNetwork_->setText(
        QCoreApplication::translate("TrelvanWindowClass", "Choisissez un &réseau\u00a0:"));
    FoundHosts_->setText(QCoreApplication::translate("TrelvanWindowClass", "Ordinateurs détectés"));
    History_->setText(QCoreApplication::translate("TrelvanWindowClass", "&Historique…"));
    About_->setText(QCoreApplication::translate("TrelvanWindowClass", "A &propos de"));
    Close_->setText(QCoreApplication::translate("TrelvanWindowClass", "&Fermer"));
    Status_->setText(QCoreApplication::translate("TrelvanWindowClass", "Initialisation..."));
}
