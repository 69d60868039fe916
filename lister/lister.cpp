#include "lister/lister.h"

#include "lister/formats.h"
#include "lister/history.h"
#include "lister/networkchoice.h"
#include "lister/scanonce.h"
#include "lister/terminal.h"
#include "lister/watch.h"
#include "network/networklist.h"
#include "platform/sendarp.h"
#include "presence/store.h"
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
        "                           changement sur une ligne JSON\u00a0: arrivée (appeared, avec\n"
        "                           new vrai pour un appareil jamais vu), départ (left, absent\n"
        "                           depuis au moins 60\u00a0s et trois parcours), autre adresse\n"
        "                           IP (address-changed) ou MAC (mac-changed)\n"
        "  --commande PROGRAMME     avec --suivre\u00a0: lance PROGRAMME pour chaque changement,\n"
        "                           sans argument ni shell, la ligne JSON sur son entrée,\n"
        "                           TRELVAN_EVENT, TRELVAN_MAC et TRELVAN_IP dans son\n"
        "                           environnement\u00a0; un à la fois, arrêté après 30\u00a0s\n"
        "  --historique             liste chaque appareil vu sur RÉSEAU, avec sa première et\n"
        "                           sa dernière apparition (first_seen, last_seen) et s'il\n"
        "                           est présent (present)\n"
        "  --reveiller MAC|ADRESSE  réveille un appareil connu (Wake-on-LAN) sur le réseau où\n"
        "                           il a été vu\n"
        "  -h, --help               affiche cette aide\n"
        "  -v, --version            affiche la version\n"
        "\n"
        "Chaque parcours est noté dans l'historique de Trelvan, que la fenêtre partage\u00a0:\n"
        "presence.sqlite, dans ~/.local/share/Dantrix/Trelvan/ sous Linux,\n"
        "%LOCALAPPDATA%\\Dantrix\\Trelvan\\ sous Windows.\n"
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
    const QCommandLineOption historyOption(QStringLiteral("historique"),
                                           QStringLiteral("liste l'historique"));
    const QCommandLineOption wakeOption(QStringLiteral("reveiller"),
                                        QStringLiteral("réveille un appareil"),
                                        QStringLiteral("appareil"));
    const QCommandLineOption commandOption(QStringLiteral("commande"),
                                           QStringLiteral("lance un programme par changement"),
                                           QStringLiteral("programme"));
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("affiche cette aide"));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("affiche la version"));
    parser.addOptions({formatOption, watchOption, historyOption, wakeOption, commandOption,
                       helpOption, versionOption});
    parser.addPositionalArgument(QStringLiteral("RÉSEAU"), QStringLiteral("le réseau à parcourir"));
    const QString seeHelp = QStringLiteral(" (trelvan-list --help)");

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        const QString last = arguments.value(arguments.size() - 1);
        Complain(err,
                 !unknown.isEmpty()
                     ? QStringLiteral("option inconnue %1%2")
                           .arg(Quoted(QLatin1String(unknown.front().size() > 1 ? "--" : "-") +
                                       unknown.front()),
                                seeHelp)
                 : last == QLatin1String("--reveiller")
                     ? QStringLiteral("il manque l'appareil après --reveiller (adresse MAC ou IP).")
                 : last == QLatin1String("--commande")
                     ? QStringLiteral("il manque le programme après --commande.")
                     : QStringLiteral("il manque le format après --format (texte, csv ou json)."));
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
    const bool watching = parser.isSet(watchOption);
    if (int(watching) + int(parser.isSet(historyOption)) + int(parser.isSet(wakeOption)) > 1) {
        Complain(err, QStringLiteral("une seule action à la fois\u00a0: --suivre, --historique ou "
                                     "--reveiller%1")
                          .arg(seeHelp));
        return UsageError;
    }
    if (parser.isSet(commandOption) && !watching) {
        Complain(err, QStringLiteral("--commande va avec --suivre%1").arg(seeHelp));
        return UsageError;
    }
    QStringList positional = parser.positionalArguments();
    if (parser.isSet(wakeOption)) {
        if (!positional.isEmpty()) {
            Complain(err,
                     QStringLiteral("--reveiller prend un appareil, pas de RÉSEAU%1").arg(seeHelp));
            return UsageError;
        }
        return RunWake(parser.value(wakeOption), out, err);
    }
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

    if (parser.isSet(historyOption))
        return RunHistory(network, format, makers, out, err);
    if (watching) {
        CatchStopSignals();
        return RunWatch(network, makers, out, err, progress, parser.value(commandOption),
                        abandoned);
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
    {
        presence::Store store;
        const presence::ScanChanges recorded = store.Record(ScanOf(network, hosts));
        if (!recorded.status.isEmpty())
            Complain(err, recorded.status);
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
