#pragma once

class QComboBox;
class QDialog;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QSpacerItem;
class QTableWidget;

// The window's widget tree. Every widget is a child of the window and every
// layout belongs to its layout tree, so this structure owns nothing.
struct TrelvanWindowUi
{
    QGridLayout *Layout_ = nullptr;
    QHBoxLayout *NetworksLayout_ = nullptr;
    QLabel *PickNetwork_ = nullptr;
    QComboBox *Networks_ = nullptr;
    QLabel *FoundHosts_ = nullptr;
    QHBoxLayout *ButtonsLayout_ = nullptr;
    QSpacerItem *ButtonsSpacer_ = nullptr;
    QPushButton *History_ = nullptr;
    QPushButton *About_ = nullptr;
    QPushButton *Close_ = nullptr;
    QTableWidget *Hosts_ = nullptr;
    QLabel *Status_ = nullptr;

    void setupUi(QDialog *window);
    void retranslateUi(QDialog *window);
};
