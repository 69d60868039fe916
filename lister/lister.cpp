#include "lister/lister.h"

#include "lister/formats.h"
#include "lister/history.h"
#include "lister/identifying.h"
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
        "IP, adresse MAC, fabricant, site web, nom et commentaire saisi dans Trelvan.\n"
        "\n"
        "  RÉSEAU                  eth0, 192.168.1.10/24, \"192.168.1.10 / 255.255.255.0\"\n"
        "                          (sans RÉSEAU\u00a0: le premier réseau de la fenêtre)\n"
        "  --tous                  tous les réseaux de cette machine, sauf les virtuels\n"
        "  --format texte|csv|json la sortie\u00a0: texte (par défaut), csv ou json\n"
        "  --suivre                parcourt toutes les 10\u00a0s, une ligne par arrivée,\n"
        "                          départ ou changement (texte ou json)\n"
        "  --commande PROGRAMME    avec --suivre\u00a0: lance PROGRAMME à chaque changement\n"
        "  --mqtt mqtt://[UTILISATEUR@]HÔTE[:PORT]   avec --suivre\u00a0: la présence pour\n"
        "                          Home Assistant (--mqtt-password-file, --agent)\n"
        "  --historique            les appareils déjà vus, quand, et s'ils sont là\n"
        "  --reveiller APPAREIL    réveille un appareil connu (MAC, IP, nom, commentaire)\n"
        "  -h, --help  -v, --version\n"
        "\n"
        "Exemples\u00a0:\n"
        "  trelvan-list --tous --format csv >machines.csv\n"
        "  trelvan-list --suivre eth0\n"
        "  trelvan-list --suivre --format json --commande ~/bin/alerte\n"
        "  trelvan-list --reveiller \"NAS salon\"\n"
        "Sortie\u00a0: 0 réussite, 1 parcours impossible, 2 erreur d'utilisation.\n"
        "Tout le détail\u00a0: man trelvan-list\n");
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
            {QStringLiteral("--reveiller"),
             QStringLiteral("l'appareil (adresse MAC ou IP, nom ou commentaire)")},
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
    if (watching && format == QLatin1String("csv")) {
        Complain(err,
                 QStringLiteral("--suivre écrit du texte ou du json, pas de csv%1").arg(seeHelp));
        return UsageError;
    }
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
        return RunWatch(named, every, format == QLatin1String("json"), makers, out, err, progress,
                        parser.value(commandOption), sink.get(), abandoned);
    }

    std::vector<ScannedNetwork> found;
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
        // What the devices say of themselves, asked after the scan.
        const CardIdentities learnt = IdentifyScanned(found, makers, store.Identities());
        for (const ScannedNetwork &scanned : found) {
            const presence::ScanChanges recorded = store.Record(ScanOf(scanned));
            if (!recorded.status.isEmpty())
                Complain(err, recorded.status);
            for (const presence::Change &change : recorded.changes)
                if (const QString note = ChangeNote(change, scanned.network.Cidr());
                    !note.isEmpty())
                    Complain(err, note);
            const std::vector<HostRow> rows =
                MakeHostRows(scanned.hosts, comments, makers, PlaceOf(scanned.network));
            listed.insert(listed.end(), rows.begin(), rows.end());
        }
        store.SaveIdentities(learnt);
    }
    const QString text = format == QLatin1String("csv") ? FormatCsv(listed)
                         : format == QLatin1String("json")
                             ? FormatJson(listed)
                             : FormatTextByNetwork(listed, IsTerminal(out));
    return Write(out, text) ? Success : ScanFailed;
}

} // namespace lister
