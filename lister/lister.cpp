#include "lister/lister.h"

#include "lister/formats.h"
#include "lister/networkchoice.h"
#include "lister/scanonce.h"
#include "lister/terminal.h"
#include "lister/watch.h"
#include "network/networklist.h"
#include "platform/sendarp.h"
#include "results/commentstore.h"
#include "results/hostrow.h"
#include "trelvanversion.h"

#include <QCommandLineParser>

namespace lister {

namespace {

QString HelpText()
{
    return QStringLiteral(
        "Usage\u00a0: trelvan-list [options] [RÉSEAU]\n"
        "Liste les machines présentes sur un réseau local de cette machine\u00a0: adresse IP,\n"
        "adresse MAC, fabricant, serveur web (port 80, ou 443 seul), nom et commentaire saisi "
        "dans\n"
        "Trelvan.\n"
        "\n"
        "RÉSEAU, l'un des réseaux de cette machine\u00a0:\n"
        "  eth0                           une interface (son premier réseau IPv4)\n"
        "  192.168.1.10/24                ADRESSE/PRÉFIXE\n"
        "  \"192.168.1.10 / 255.255.255.0\" le texte du choix de réseau de Trelvan\n"
        "Sans RÉSEAU\u00a0: le premier réseau que propose la fenêtre de Trelvan.\n"
        "\n"
        "Options\u00a0:\n"
        "  --format texte|csv|json  format de la liste (texte par défaut, un tableau aligné)\n"
        "  --suivre                 parcourt le réseau toutes les dix secondes et écrit chaque\n"
        "                           changement (arrivée, départ, autre adresse MAC) sur une\n"
        "                           ligne JSON\n"
        "  -h, --help               affiche cette aide\n"
        "  -v, --version            affiche la version\n"
        "\n"
        "Codes de sortie\u00a0: 0 réussite, 1 parcours impossible, 2 erreur d'utilisation.\n"
        "\n"
        "Résolution des adresses\u00a0: en root, trelvan-list envoie lui-même ses requêtes\n"
        "ARP\u00a0; pour un autre utilisateur, le résolveur trelvan-resolver les envoie, s'il est\n"
        "installé avec la capacité cap_net_raw. Sans lui, la table de voisinage du noyau\n"
        "répond\u00a0: une machine partie peut y rester listée jusqu'à une minute environ (de 17\n"
        "à 67\u00a0s mesurées avec --suivre, contre 17\u00a0s avec les requêtes ARP), car le "
        "noyau\n"
        "répond de ce qu'il garde sans redemander au réseau. trelvan-list le signale alors\n"
        "sur une ligne de sa sortie d'erreur, quand c'est un terminal.\n");
}

} // namespace

int Run(const QStringList &arguments, std::FILE *out, std::FILE *err, bool *abandoned)
{
    QCommandLineParser parser;
    const QCommandLineOption formatOption(QStringLiteral("format"),
                                          QStringLiteral("format de la liste"),
                                          QStringLiteral("format"), QStringLiteral("texte"));
    const QCommandLineOption watchOption(QStringLiteral("suivre"),
                                         QStringLiteral("écrit chaque changement"));
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("affiche cette aide"));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("affiche la version"));
    parser.addOptions({formatOption, watchOption, helpOption, versionOption});
    parser.addPositionalArgument(QStringLiteral("RÉSEAU"), QStringLiteral("le réseau à parcourir"));
    const QString seeHelp = QStringLiteral(" (trelvan-list --help)");

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        Complain(err, unknown.isEmpty()
                          ? QStringLiteral("il manque le format après --format (texte, csv ou "
                                           "json).")
                          : QStringLiteral("option inconnue %1%2")
                                .arg(Quoted(QLatin1String(unknown.front().size() > 1 ? "--" : "-") +
                                            unknown.front()),
                                     seeHelp));
        return UsageError;
    }
    if (parser.isSet(helpOption))
        return Write(out, HelpText()) ? Success : ScanFailed;
    if (parser.isSet(versionOption))
        return Write(out, QStringLiteral("trelvan-list %1\n").arg(QStringLiteral(TRELVAN_VERSION)))
                   ? Success
                   : ScanFailed;

    const QString format = parser.value(formatOption);
    if (format != QLatin1String("texte") && format != QLatin1String("csv") &&
        format != QLatin1String("json")) {
        Complain(err,
                 QStringLiteral("format inconnu %1 (texte, csv ou json).").arg(Quoted(format)));
        return UsageError;
    }
    QStringList positional = parser.positionalArguments();
    // The picker's text given unquoted: three words around the slash.
    if (positional.size() == 3 && positional[1] == QLatin1String("/"))
        positional = QStringList{positional.join(QLatin1Char(' '))};
    if (positional.size() > 1) {
        Complain(err, QStringLiteral("un seul réseau à la fois%1").arg(seeHelp));
        return UsageError;
    }

    const NetworkChoice network = ChooseNetwork(positional.value(0));
    if (network.status != Success) {
        Complain(err, network.error);
        return network.status;
    }

    MakerIndex makers;
    LoadMakers(makers);
    std::FILE *progress = IsTerminal(err) ? err : nullptr;
    if (progress && platform::CurrentResolutionPath() == platform::ResolutionPath::NeighbourTable)
        Complain(err, QStringLiteral("sans le résolveur trelvan-resolver, la table de voisinage "
                                     "du noyau répond\u00a0: une machine partie peut rester "
                                     "listée jusqu'à une minute environ."));

    if (parser.isSet(watchOption)) {
        CatchStopSignals();
        return RunWatch(network, makers, out, progress, abandoned);
    }

    HostMap hosts;
    switch (ScanOnce(network, progress, hosts)) {
    case ScanOutcome::Done:
        break;
    case ScanOutcome::Abandoned:
        if (abandoned)
            *abandoned = true;
        [[fallthrough]];
    case ScanOutcome::Failed:
    case ScanOutcome::Stopped:
        Complain(err, QStringLiteral("le parcours de %1 n'a pas abouti.")
                          .arg(NetworkEntryText(network.address, network.netmask)));
        return ScanFailed;
    }
    CommentMap comments;
    LoadComments(comments);
    const std::vector<HostRow> listed = MakeHostRows(hosts, comments, makers);
    const QString text = format == QLatin1String("csv")    ? FormatCsv(listed)
                         : format == QLatin1String("json") ? FormatJson(listed)
                                                           : FormatText(listed, IsTerminal(out));
    return Write(out, text) ? Success : ScanFailed;
}

} // namespace lister
