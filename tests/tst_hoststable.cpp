// The hosts table on its own: the texts built from a host record, the
// columns, and the maker cells of every kind of MAC, without a window. The
// rows as a whole are the window's tests' (tst_results_window).
#include "results/hoststable.h"
#include "results/typeicons.h"
#include "tooltip.h"

#include <QAbstractItemModel>
#include <QButtonGroup>
#include <QHostAddress>
#include <QImage>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <memory>

namespace {

using Bytes = std::vector<unsigned char>;

quint32 Key(const char *address)
{
    return HostKey(QHostAddress(QString::fromLatin1(address)).toIPv4Address());
}

const QStringList HeaderLabels{"Commentaire", "Adresse IP", "Adresse MAC", "Fabricant",
                               "Site web ?"};

using identify::DeviceType;

constexpr DeviceType AllTypes[] = {
    DeviceType::Unknown,     DeviceType::Router,  DeviceType::AccessPoint, DeviceType::Computer,
    DeviceType::Phone,       DeviceType::Tablet,  DeviceType::Printer,     DeviceType::Tv,
    DeviceType::MediaPlayer, DeviceType::Speaker, DeviceType::Nas,         DeviceType::Camera,
    DeviceType::GameConsole, DeviceType::Iot};

// The pixels drawn in an image (not wholly transparent).
int Drawn(const QImage &image)
{
    int drawn = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            drawn += qAlpha(image.pixel(x, y)) != 0;
    return drawn;
}

} // namespace

class TestHostsTable : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTableWidget> table;
    std::unique_ptr<QButtonGroup> buttons;

    // A table set up as the window sets it up, filled from hosts.
    void Fill(const HostMap &hosts, const CommentMap &comments = {},
              const VendorTable &vendors = {{"001A2B", "Fabricant A"}})
    {
        SetupHostColumns(table.get());
        table->setRowCount(int(hosts.size()));
        MakerIndex makers;
        IndexVendors(vendors, makers);
        FillHostRows(table.get(), MakeHostRows(hosts, comments, makers), !vendors.empty(),
                     *buttons);
    }

private slots:
    void init()
    {
        table = std::make_unique<QTableWidget>();
        buttons = std::make_unique<QButtonGroup>();
    }

    void cleanup()
    {
        table.reset();
        buttons.reset();
    }

    // --- texts ---

    void macText_data()
    {
        QTest::addColumn<Bytes>("mac");
        QTest::addColumn<QString>("text");
        QTest::newRow("six bytes")
            << Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E} << "00:1A:2B:3C:4D:5E";
        QTest::newRow("three bytes") << Bytes{0x0A, 0x0B, 0x0C} << "0A:0B:0C";
        QTest::newRow("one byte") << Bytes{0x05} << "05";
        QTest::newRow("empty") << Bytes{} << "";
        QTest::newRow("letters") << Bytes{0xab, 0xcd, 0xef, 0xfa, 0xbc, 0xde}
                                 << "AB:CD:EF:FA:BC:DE";
        QTest::newRow("extremes") << Bytes{0x00, 0xFF} << "00:FF";
        QTest::newRow("eight bytes")
            << Bytes{1, 2, 3, 4, 5, 6, 7, 0x80} << "01:02:03:04:05:06:07:80";
    }

    void macText()
    {
        QFETCH(Bytes, mac);
        QFETCH(QString, text);
        const QString made = MacToText(mac);
        QCOMPARE(made, text);
        QCOMPARE(made, made.toUpper());
        QCOMPARE(made.size(), mac.empty() ? 0 : int(mac.size()) * 3 - 1);
    }

    void vendorKey_data()
    {
        QTest::addColumn<Bytes>("mac");
        QTest::addColumn<QString>("key");
        QTest::newRow("six bytes") << Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E} << "001A2B";
        QTest::newRow("three bytes") << Bytes{0x0A, 0x0B, 0x0C} << "0A0B0C";
        QTest::newRow("letters") << Bytes{0xab, 0xcd, 0xef, 0x01} << "ABCDEF";
        QTest::newRow("small values") << Bytes{0x01, 0x02, 0x03, 0xFF} << "010203";
        QTest::newRow("two bytes") << Bytes{0x00, 0x1A} << "";
        QTest::newRow("one byte") << Bytes{0x05} << "";
        QTest::newRow("empty") << Bytes{} << "";
    }

    void vendorKey()
    {
        QFETCH(Bytes, mac);
        QFETCH(QString, key);
        const QString made = VendorKey(mac);
        QCOMPARE(made, key);
        QCOMPARE(made, made.toUpper());
    }

    void webAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("url");
        QTest::newRow("usual") << "192.168.1.20"
                               << "http://192.168.1.20/";
        QTest::newRow("zeros") << "10.0.0.1"
                               << "http://10.0.0.1/";
        QTest::newRow("wide octets") << "255.254.100.200"
                                     << "http://255.254.100.200/";
    }

    void webAddress()
    {
        QFETCH(QString, address);
        QFETCH(QString, url);
        QCOMPARE(WebAddressText(Key(address.toLatin1())), url);
    }

    // --- columns and rows ---

    void columns()
    {
        table->setSortingEnabled(true);
        SetupHostColumns(table.get());
        QCOMPARE(table->columnCount(), 5);
        QCOMPARE(table->rowCount(), 0);
        QVERIFY(!table->isSortingEnabled());
        for (int column = 0; column < 5; ++column) {
            QVERIFY(table->horizontalHeaderItem(column));
            QCOMPARE(table->horizontalHeaderItem(column)->text(), HeaderLabels.at(column));
        }
    }

    void makerCell_data()
    {
        QTest::addColumn<Bytes>("mac");
        QTest::addColumn<QString>("maker");
        QTest::newRow("known") << Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E} << "Fabricant A";
        QTest::newRow("known, lower-case key never")
            << Bytes{0xAB, 0xCD, 0xEF, 0, 0, 0} << "Fabricant majuscule";
        QTest::newRow("unknown") << Bytes{0x00, 0x1A, 0x2C, 0x3C, 0x4D, 0x5E} << "";
        QTest::newRow("three bytes") << Bytes{0x00, 0x1A, 0x2B} << "Fabricant A";
        QTest::newRow("two bytes") << Bytes{0x00, 0x1A} << "";
        QTest::newRow("one byte") << Bytes{0x00} << "";
        QTest::newRow("no byte") << Bytes{} << "";
    }

    void makerCell()
    {
        QFETCH(Bytes, mac);
        QFETCH(QString, maker);
        // The lower-case key can never match: keys are always upper-case.
        Fill({{Key("192.168.1.20"), HostRecord{mac, false}}}, {},
             {{"001A2B", "Fabricant A"},
              {"ABCDEF", "Fabricant majuscule"},
              {"abcdef", "Fabricant minuscule"}});
        QTableWidgetItem *item = table->item(0, 3);
        QVERIFY(item);
        QCOMPARE(item->text(), maker);
        QCOMPARE(int(item->flags()), 33);
        QCOMPARE(table->item(0, 2)->text(), MacToText(mac));
    }

    // --- what the device is ---

    // Each type has an icon of its own, drawn for 16 and 32 pixels (1x and
    // 2x) where the theme has none; an unknown device has none.
    void typeIcons_data()
    {
        QTest::addColumn<DeviceType>("type");
        for (const DeviceType type : AllTypes)
            QTest::newRow(identify::TypeKey(type)) << type;
    }

    void typeIcons()
    {
        QFETCH(DeviceType, type);
        identify::Identity identity;
        identity.type = type;
        const bool known = type != DeviceType::Unknown;
        QCOMPARE(!TypeIcon(identity).isNull(), known);
        QCOMPARE(!DrawnTypeIcon(type).isNull(), known);
        identity.thisMachine = true; // a computer, whatever its type
        QVERIFY(!TypeIcon(identity).isNull());
        if (!known)
            return;
        const QIcon icon = DrawnTypeIcon(type);
        const QImage small = icon.pixmap(QSize(16, 16), 1.0).toImage();
        const QPixmap sharp = icon.pixmap(QSize(16, 16), 2.0);
        QCOMPARE(small.size(), QSize(16, 16));
        QCOMPARE(sharp.size(), QSize(32, 32));
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
        QVERIFY2(Drawn(small) >= 30 && Drawn(small) <= 220,
                 qPrintable(QString::number(Drawn(small))));
        QVERIFY(Drawn(sharp.toImage()) >= 3 * Drawn(small));
        for (const DeviceType other : AllTypes)
            if (other != type && other != DeviceType::Unknown)
                QVERIFY2(DrawnTypeIcon(other).pixmap(QSize(16, 16), 1.0).toImage() != small,
                         identify::TypeKey(other));
    }

    // A row shows its device's icon, and why as its first cell's tooltip,
    // as text; the name its owner chose is its hint when it keeps the rule
    // for names.
    void typeOfRow_data()
    {
        QTest::addColumn<DeviceType>("type");
        QTest::addColumn<bool>("self");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("friendly");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QStringList>("names");
        const QString said = QStringLiteral(", d'après : mDNS _ipp._tcp, UPnP");
        QTest::newRow("unknown") << DeviceType::Unknown << false << ""
                                 << ""
                                 << "" << QStringList{"nas"};
        QTest::newRow("printer") << DeviceType::Printer << false << "HP OfficeJet Pro 9010"
                                 << "HP OfficeJet Pro 9010"
                                 << "Imprimante — HP OfficeJet Pro 9010" + said
                                 << QStringList{"HP OfficeJet Pro 9010", "nas"};
        QTest::newRow("markup in a model and a name")
            << DeviceType::Tv << false << "<img src=x width=3000><b>TV</b>"
            << "<i>Salon</i>"
            << "Téléviseur — <img src=x width=3000><b>TV</b> « <i>Salon</i> »" + said
            << QStringList{"<i>Salon</i>", "nas"};
        QTest::newRow("this machine") << DeviceType::Computer << true << ""
                                      << ""
                                      << "Cet ordinateur" + said << QStringList{"nas"};
        QTest::newRow("the same name") << DeviceType::Nas << false << ""
                                       << "NAS"
                                       << "Stockage réseau « NAS »" + said << QStringList{"NAS"};
        QTest::newRow("a name that breaks the rule") << DeviceType::Speaker << false << ""
                                                     << "Salon\u202Eevil"
                                                     << "Enceinte" + said << QStringList{"nas"};
    }

    void typeOfRow()
    {
        QFETCH(DeviceType, type);
        QFETCH(bool, self);
        QFETCH(QString, model);
        QFETCH(QString, friendly);
        QFETCH(QString, tip);
        QFETCH(QStringList, names);
        HostRecord record{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, false, QStringLiteral("nas")};
        record.identity = {type, {}, model, friendly, {}, {}, self, {}, {}};
        if (type != DeviceType::Unknown)
            record.identity.evidence = {{QStringLiteral("upnp"), QStringLiteral("x")},
                                        {QStringLiteral("mdns"), QStringLiteral("_ipp._tcp")}};
        HostRecord withIpv6{{0x02, 0x03}, false};
        withIpv6.ipv6 = QStringList{"fe80::3", "2001:db8::<b>3</b>"};
        Fill({{Key("192.168.1.20"), record},
              {Key("192.168.1.21"), HostRecord{{0x02}, false}},
              {Key("192.168.1.22"), withIpv6}});
        const QTableWidgetItem *comment = table->item(0, 0);
        QCOMPARE(comment->icon().isNull(), type == DeviceType::Unknown);
        QCOMPARE(ToolTipShows(comment->toolTip()), tip);
        QCOMPARE(comment->data(CommentHintRole).toString(), names.front());
        QCOMPARE(ToolTipShows(table->item(0, 1)->toolTip()), names.join(QLatin1Char('\n')));
        QVERIFY(table->item(1, 0)->icon().isNull());
        QVERIFY(table->item(1, 0)->toolTip().isEmpty());
        QVERIFY(!table->item(1, 0)->data(CommentHintRole).isValid());
        // The IPv6 addresses, one a line, as text.
        QVERIFY(table->item(1, 1)->toolTip().isEmpty());
        QCOMPARE(ToolTipShows(table->item(2, 1)->toolTip()),
                 QStringLiteral("fe80::3\n2001:db8::<b>3</b>"));
    }

    // A host's name is text: its tooltip draws the characters it holds, no
    // image read, no larger than the text; so do a maker's whole name, the
    // hint of the empty comment cell and what the device says it is.
    void namesAreShownAsText()
    {
        const QString name = QStringLiteral("<img src=x width=3000 height=2000><b>gras</b>&amp;");
        const QString maker = QStringLiteral("<i>Fabricant</i> & fils, une raison sociale longue");
        HostRecord record{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, false, name};
        record.identity.type = DeviceType::MediaPlayer;
        record.identity.model = name;
        const QString device = QStringLiteral("Lecteur multimédia — ") + name;
        Fill({{Key("192.168.1.20"), record}}, {}, {{"001A2B", maker}});
        table->resize(500, 200);
        table->show();
        QVERIFY(QTest::qWaitForWindowExposed(table.get()));
        table->setColumnWidth(3, 40); // the maker is elided: its tooltip gives it whole

        const QFontMetrics metrics(table->font());
        for (const auto &[column, text] :
             {std::pair{0, device}, std::pair{1, name}, std::pair{3, maker}}) {
            QLabel *tip = HoverToolTip(table.get(), table->model()->index(0, column));
            QVERIFY(tip);
            QCOMPARE(ToolTipShows(tip->text()), text);
            QVERIFY2(tip->width() < metrics.horizontalAdvance(text) + 60 &&
                         tip->height() < 4 * metrics.lineSpacing(),
                     qPrintable(QStringLiteral("%1x%2").arg(tip->width()).arg(tip->height())));
        }
        QCOMPARE(table->item(0, 0)->data(CommentHintRole).toString(), name);
        table->resizeColumnToContents(0);
        const int hint = table->columnWidth(0);
        // The hint, and the icon before it.
        QVERIFY2(hint >= metrics.horizontalAdvance(name) + 16 &&
                     hint < metrics.horizontalAdvance(name) + 80,
                 qPrintable(QString::number(hint)));
    }
};

QTEST_MAIN(TestHostsTable)
#include "tst_hoststable.moc"
