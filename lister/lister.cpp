#include "lister/lister.h"

#include "lister/formats.h"
#include "lister/history.h"
#ifdef TRELVAN_MQTT
#include "lister/mqttsink.h"
#endif
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

#include <map>
#include <memory>
#include <utility>

namespace lister {

namespace {

QString HelpText()
{
    return QStringLiteral(
        "Usage\u00a0: trelvan-list [options] [RÉSEAU...]\n"
        "Liste les machines présentes sur les réseaux locaux de cette machine\u00a0: adresse\n"
        "IP, adresse MAC, fabricant, serveur web (port 80, ou 443 seul), nom et commentaire\n"
        "saisi dans Trelvan, avec le réseau (network) et l'interface de chacune.\n"
        "\n"
        "RÉSEAU, un ou plusieurs des réseaux de cette machine\u00a0:\n"
        "  eth0                           une interface (son premier réseau IPv4)\n"
        "  192.168.1.10/24                ADRESSE/PRÉFIXE\n"
        "  \"192.168.1.10 / 255.255.255.0\" le texte du choix de réseau de Trelvan\n"
        "Sans RÉSEAU ni --tous\u00a0: le premier réseau que propose la fenêtre de Trelvan.\n"
        "Les réseaux sont parcourus en même temps, tant qu'ils ne comptent pas ensemble\n"
        "plus de 65536 adresses (un /16)\u00a0; au-delà, les suivants attendent leur tour.\n"
        "\n"
        "Options\u00a0:\n"
        "  --tous                   tous les réseaux de cette machine, sauf les virtuels\u00a0:\n"
        "                           boucle locale (lo), ponts de conteneurs et de machines\n"
        "                           virtuelles (docker*, br-*, virbr*, vboxnet*, vmnet*,\n"
        "                           lxcbr*, lxdbr*, incusbr*, podman*, cni*) et leurs\n"
        "                           interfaces veth*, tunnels (tun*, tap*, wg*, liens point\n"
        "                           à point)\u00a0; un RÉSEAU nommé est toujours pris. Avec\n"
        "                           --suivre, les réseaux qui viennent et s'en vont sont\n"
        "                           suivis à chaque parcours\n"
        "  --format texte|csv|json  format de la liste (texte par défaut, un tableau aligné\n"
        "                           par réseau)\n"
        "  --suivre                 parcourt les réseaux toutes les dix secondes et écrit\n"
        "                           chaque changement sur une ligne JSON\u00a0: arrivée\n"
        "                           (appeared, avec new vrai pour un appareil jamais vu),\n"
        "                           départ (left, absent depuis au moins 60\u00a0s et trois\n"
        "                           parcours), autre adresse IP (address-changed) ou MAC\n"
        "                           (mac-changed)\n"
        "  --commande PROGRAMME     avec --suivre\u00a0: lance PROGRAMME pour chaque changement,\n"
        "                           sans argument ni shell, la ligne JSON sur son entrée,\n"
        "                           TRELVAN_EVENT, TRELVAN_MAC et TRELVAN_IP dans son\n"
        "                           environnement\u00a0; un à la fois, arrêté après 30\u00a0s\n"
        "  --mqtt mqtt://[UTILISATEUR@]HÔTE[:PORT]\n"
        "                           avec --suivre\u00a0: publie la présence de chaque appareil\n"
        "                           sur ce serveur MQTT, à la manière de Home Assistant\n"
        "                           (homeassistant/device_tracker/..., home ou not_home),\n"
        "                           et chaque changement sur trelvan/AGENT/event\u00a0;\n"
        "                           mqtts://... pour TLS (port 8883), vérifié avec les\n"
        "                           autorités de certification du système. Le mot de passe\n"
        "                           vient de --mqtt-password-file ou de la variable\n"
        "                           TRELVAN_MQTT_PASSWORD, jamais de la ligne de commande\n"
        "  --mqtt-password-file FICHIER\n"
        "                           le mot de passe MQTT, sur la première ligne de FICHIER\n"
        "  --agent NOM              le nom de cet agent sur le serveur MQTT (par défaut le\n"
        "                           nom de la machine), qui tient à part les appareils de\n"
        "                           plusieurs machines\n"
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
        "Codes de sortie\u00a0: 0 réussite, 1 parcours impossible (ou serveur MQTT qui refuse\n"
        "l'identification, introuvable), 2 erreur d'utilisation.\n"
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
    const QCommandLineOption everyOption(QStringLiteral("tous"),
                                         QStringLiteral("tous les réseaux de cette machine"));
    const QCommandLineOption mqttOption(QStringLiteral("mqtt"), QStringLiteral("serveur MQTT"),
                                        QStringLiteral("adresse"));
    const QCommandLineOption passwordFileOption(QStringLiteral("mqtt-password-file"),
                                                QStringLiteral("mot de passe MQTT"),
                                                QStringLiteral("fichier"));
    const QCommandLineOption agentOption(QStringLiteral("agent"), QStringLiteral("nom d'agent"),
                                         QStringLiteral("nom"));
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("affiche cette aide"));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("affiche la version"));
    parser.addOptions({formatOption, watchOption, historyOption, wakeOption, commandOption,
                       everyOption, mqttOption, passwordFileOption, agentOption, helpOption,
                       versionOption});
    parser.addPositionalArgument(QStringLiteral("RÉSEAU"), QStringLiteral("le réseau à parcourir"));
    const QString seeHelp = QStringLiteral(" (trelvan-list --help)");

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        const QString last = arguments.value(arguments.size() - 1);
        const std::map<QString, QString> missing{
            {QStringLiteral("--reveiller"), QStringLiteral("l'appareil (adresse MAC ou IP)")},
            {QStringLiteral("--commande"), QStringLiteral("le programme")},
            {QStringLiteral("--mqtt"), QStringLiteral("l'adresse du serveur")},
            {QStringLiteral("--mqtt-password-file"), QStringLiteral("le fichier")},
            {QStringLiteral("--agent"), QStringLiteral("le nom")},
            {QStringLiteral("--format"), QStringLiteral("le format (texte, csv ou json)")}};
        const auto what = missing.find(last);
        Complain(err,
                 !unknown.isEmpty()
                     ? QStringLiteral("option inconnue %1%2")
                           .arg(Quoted(QLatin1String(unknown.front().size() > 1 ? "--" : "-") +
                                       unknown.front()),
                                seeHelp)
                     : QStringLiteral("il manque %1 après %2.")
                           .arg(what != missing.end() ? what->second : QStringLiteral("une valeur"),
                                last));
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
    const bool mqtt = parser.isSet(mqttOption);
    for (const auto &[option, needs] :
         {std::pair{&commandOption, watching}, std::pair{&mqttOption, watching},
          std::pair{&passwordFileOption, mqtt}, std::pair{&agentOption, mqtt}}) {
        if (parser.isSet(*option) && !needs) {
            Complain(err, QStringLiteral("--%1 va avec %2%3")
                              .arg(option->names().front(),
                                   option == &commandOption || option == &mqttOption
                                       ? QStringLiteral("--suivre")
                                       : QStringLiteral("--mqtt"),
                                   seeHelp));
            return UsageError;
        }
    }
#ifndef TRELVAN_MQTT
    if (mqtt) {
        Complain(err, QStringLiteral("MQTT n'est pas disponible sur ce système : trelvan-list "
                                     "y est construit sans libmosquitto."));
        return UsageError;
    }
#endif
    const QStringList positional = parser.positionalArguments();
    const bool every = parser.isSet(everyOption);
    if (parser.isSet(wakeOption)) {
        if (!positional.isEmpty() || every) {
            Complain(err,
                     QStringLiteral("--reveiller prend un appareil, pas de RÉSEAU%1").arg(seeHelp));
            return UsageError;
        }
        return RunWake(parser.value(wakeOption), out, err);
    }

    const NetworkChoices networks = ChooseNetworks(positional, every);
    if (networks.status != Success) {
        Complain(err, networks.error);
        return networks.status;
    }
    if (!watching) // a watch says them itself
        for (const QString &note : networks.notes)
            Complain(err, note);

    MakerIndex makers;
    LoadMakers(makers);
    std::FILE *progress = IsTerminal(err) ? err : nullptr;
    if (progress && platform::CurrentResolutionPath() == platform::ResolutionPath::NeighbourTable)
        Complain(err, QStringLiteral("sans le résolveur trelvan-resolver, la table de voisinage "
                                     "du noyau répond\u00a0: une machine partie peut rester "
                                     "listée jusqu'à une minute environ."));

    if (parser.isSet(historyOption))
        return RunHistory(networks.networks, format, makers, out, err);
    if (watching) {
        std::unique_ptr<PresenceSink> sink;
#ifdef TRELVAN_MQTT
        if (mqtt) {
            ExitStatus status = Success;
            sink = StartMqtt({parser.value(mqttOption), parser.value(passwordFileOption),
                              parser.value(agentOption)},
                             err, &status);
            if (!sink)
                return status;
        }
#endif
        CatchStopSignals();
        // The machine's networks are looked at again at each round.
        NetworkChoices named = networks;
        if (every)
            named = positional.isEmpty() ? NetworkChoices() : ChooseNetworks(positional, false);
        return RunWatch(named, every, makers, out, err, progress, parser.value(commandOption),
                        sink.get(), abandoned);
    }

    std::vector<HostMap> found;
    switch (ScanNetworks(networks.networks, progress, found)) {
    case ScanOutcome::Done:
        break;
    case ScanOutcome::Abandoned:
        if (abandoned)
            *abandoned = true;
        [[fallthrough]];
    case ScanOutcome::Failed:
    case ScanOutcome::Stopped:
        Complain(err, QStringLiteral("le parcours n'a pas abouti."));
        return ScanFailed;
    }
    CommentMap comments;
    LoadComments(comments);
    std::vector<HostRow> listed;
    {
        presence::Store store;
        for (std::size_t i = 0; i < networks.networks.size(); ++i) {
            const NetworkChoice &network = networks.networks[i];
            const presence::ScanChanges recorded = store.Record(ScanOf(network, found[i]));
            if (!recorded.status.isEmpty())
                Complain(err, recorded.status);
            const std::vector<HostRow> rows =
                MakeHostRows(found[i], comments, makers, PlaceOf(network));
            listed.insert(listed.end(), rows.begin(), rows.end());
        }
    }
    const QString text = format == QLatin1String("csv") ? FormatCsv(listed)
                         : format == QLatin1String("json")
                             ? FormatJson(listed)
                             : FormatTextByNetwork(listed, IsTerminal(out));
    return Write(out, text) ? Success : ScanFailed;
}

} // namespace lister
