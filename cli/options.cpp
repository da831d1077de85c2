#include "cli/options.h"

#include "station/jobfile.h"
#include "station/runplan.h"
#include "station/runvalues.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

namespace
{

Options::Parsed usage(const QString &error)
{
    return {Options::Parsed::Kind::UsageError, error};
}

} // namespace

Options::Parsed Options::parse(const QStringList &arguments)
{
    QString error;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Writes IMAGE into the loader of the device on each PORT, all at the same time.\n"
        "With --station, each PORT is a slot that boards come and go on, until stopped.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version({"V", "version"}, "Print the version and exit.");
    const QCommandLineOption port({"p", "port"},
                                  "Serial port to download to (ttyUSB0 or a path); with "
                                  "--station a slot: a path or a glob pattern. Repeatable.",
                                  "PORT");
    const QCommandLineOption baud({"b", "baud"}, "Rate of the first handshakes (default 115200).",
                                  "RATE");
    const QCommandLineOption jsonOption("json", "Print one JSON object per event.");
    const QCommandLineOption quietOption({"q", "quiet"}, "Print only the results and the summary.");
    const QCommandLineOption verboseOption({"v", "verbose"},
                                           "Also print the engine's diagnostic lines.");
    const QCommandLineOption wait("wait",
                                  "Keep waking the loader until the board answers; 0 waits "
                                  "until stopped.",
                                  "SECONDS");
    const QCommandLineOption reset("reset",
                                   "Drive DTR and RTS before each attempt: steps such as "
                                   "D1,R1,W100,D0,W50,R0, or a preset: " +
                                       ResetSequence::presetNames().join(", ") + ".",
                                   "SEQ");
    const QCommandLineOption resetCmd(
        "reset-cmd", "Run a shell command before each attempt; {port} is the port's path.", "CMD");
    const QCommandLineOption attempts(
        "attempts", "Tries per board, each from the reset (default 1; needs a reset).", "N");
    const QCommandLineOption station("station",
                                     "Run a production station until stopped: flash each new "
                                     "board on each slot once.");
    const QCommandLineOption goneAfter("gone-after",
                                       "With --station: a board whose loader stays silent this "
                                       "long has left (default 2).",
                                       "SECONDS");
    const QCommandLineOption log("log", "Append one JSON line per board to FILE.", "FILE");
    const QCommandLineOption listOption("list", "List the serial ports and exit.");
    const QCommandLineOption jobOption("job",
                                       "Run the station a job file describes; options given "
                                       "as well override its values.",
                                       "FILE");
    const QCommandLineOption checkOption("check",
                                         "With --job: check the job, print what it would do "
                                         "and exit.");
    // Each maps onto the key of a job's [serial] section.
    const QList<QPair<QCommandLineOption, QString>> serialOptions{
        {{"serial-at", "Write each board's serial number at OFFSET (decimal or 0x hex).", "OFFSET"},
         "at"},
        {{"serial-format",
          "The number's form: le16, le32, le64, be16, be32, be64, dec:WIDTH or bcd:WIDTH.", "FMT"},
         "format"},
        {{"serial-prefix", "Fixed text before the digits (dec and bcd).", "TEXT"}, "prefix"},
        {{"serial-start", "The first serial number.", "N"}, "start"},
        {{"serial-step", "Between one number and the next (default 1).", "N"}, "step"},
        {{"serial-list", "Pre-assigned numbers, one a line, each used once.", "FILE"}, "list"},
        {{"crc32-at", "Recompute a little-endian CRC-32 at OFFSET after the patch.", "OFFSET"},
         "crc32-at"},
        {{"crc32-range", "The half-open byte range FROM:TO the CRC covers.", "FROM:TO"},
         "crc32-range"}};
    // Each is named after its job key.
    const QList<QCommandLineOption> imageOptions{
        {"image-format",
         "The image file's format: bin, ihex, srec or elf (default: told by its content; a .bin "
         "is raw).",
         "FORMAT"},
        {"image-base",
         "The address of the image's first byte (default: the lowest address the file gives).",
         "ADDR"},
        {"fill", "The byte between the file's regions and in the padding (default 0xFF).", "BYTE"},
        {"image-size", "Pad the image with the fill byte to N bytes from its base.", "N"},
        {"image-sha256", "Refuse to run unless the image's SHA-256 is HEX.", "HEX"}};
    const QCommandLineOption db("db",
                                "The record store: sqlite:PATH or "
                                "postgresql://[user@]host[:port]/dbname.",
                                "URL");
    const QCommandLineOption stationId("station-id",
                                       "This station's name in the record store "
                                       "(default: the host name).",
                                       "ID");
    const QCommandLineOption scanFromOption(
        "scan-from",
        "Read the boards' labels as lines, CODE or SLOT CODE, from FILE, a FIFO or - (stdin).",
        "FILE");
    const QList<QPair<QCommandLineOption, OperatorLot::Field>> operatorLotOptions{
        {{"operator", "Who flashes the boards, for the record; fills a job's 'ask'.", "NAME"},
         OperatorLot::Field::Operator},
        {{"lot", "The lot (work order) the boards belong to; fills a job's 'ask'.", "LOT"},
         OperatorLot::Field::Lot}};
    parser.addOptions({version, port, baud, jsonOption, quietOption, verboseOption, wait, reset,
                       resetCmd, attempts, station, goneAfter, log, listOption, db, stationId,
                       jobOption, checkOption, scanFromOption});
    for (const auto &option : operatorLotOptions)
        parser.addOption(option.first);
    for (const auto &option : serialOptions)
        parser.addOption(option.first);
    parser.addOptions(imageOptions);
    parser.addPositionalArgument("IMAGE",
                                 "The program image to write: raw, Intel HEX, S-record or ELF.");

    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return usage(error);
    }
    if (parser.isSet(help))
        return {Parsed::Kind::Help, parser.helpText()};
    if (parser.isSet(version))
        return {Parsed::Kind::Version, QStringLiteral("lumedra-cli " LUMEDRA_VERSION "\n")};

    list = parser.isSet(listOption);
    json = parser.isSet(jsonOption);
    quiet = parser.isSet(quietOption);
    verbose = parser.isSet(verboseOption);
    check = parser.isSet(checkOption);
    const QStringList ports = parser.values(port);
    const QStringList positional = parser.positionalArguments();
    if (list) {
        if (!ports.isEmpty() || !positional.isEmpty() || parser.isSet(baud)) {
            error = "--list takes no ports, rate or image";
            return usage(error);
        }
        return {Parsed::Kind::Run, {}};
    }
    if (check && !parser.isSet(jobOption))
        return usage("--check goes with --job");
    if (parser.isSet(jobOption)) {
        if (!check && !parser.isSet(station))
            return usage("a job runs a station: give --station, or --check to check it");
        job = JobFile::load(parser.value(jobOption), &error);
        if (!job)
            return usage(error);
        settings = job->settings;
        image = job->image;
        logPath = job->log;
    }
    // A job's image and slots are taken unless the command line names its own.
    if (positional.size() > 1 || (positional.isEmpty() && !job)) {
        error = positional.isEmpty() ? "no image given" : "more than one image given";
        return usage(error);
    }
    if (!positional.isEmpty())
        image = positional.first();
    if (ports.isEmpty() && !job) {
        error = "no port given (-p PORT)";
        return usage(error);
    }
    if (ports.size() > RunValues::MaxTargets) {
        error = QString("at most %1 ports in one run").arg(RunValues::MaxTargets);
        return usage(error);
    }
    if (parser.isSet(baud)) {
        if (!RunValues::baud("rate", parser.value(baud), &settings.baud, &error))
            return usage(error);
    }

    settings.station = parser.isSet(station) || job;
    if (parser.isSet(wait)) {
        int ms = 0;
        if (settings.station) {
            error = "a station waits for its boards until stopped: --wait goes without --station";
            return usage(error);
        }
        if (!RunValues::wait("--wait", parser.value(wait), &ms, &error))
            return usage(error);
        settings.waitMs = ms;
    }
    if (parser.isSet(goneAfter)) {
        if (!settings.station) {
            error = "--gone-after goes with --station";
            return usage(error);
        }
        if (!RunValues::goneAfter("--gone-after", parser.value(goneAfter), &settings.goneAfterMs,
                                  &error))
            return usage(error);
    }
    if (parser.isSet(reset) && parser.isSet(resetCmd)) {
        error = "--reset and --reset-cmd exclude each other";
        return usage(error);
    }
    // One way of resetting: the command line's replaces the job's.
    if (parser.isSet(reset)) {
        settings.resetCommand.clear();
        if (!RunValues::reset(parser.value(reset), &settings.reset, &error))
            return usage(error);
        if (job)
            job->resetText = parser.value(reset);
    }
    if (parser.isSet(resetCmd)) {
        settings.reset.reset();
        if (!RunValues::resetCommand("--reset-cmd", parser.value(resetCmd), &settings.resetCommand,
                                     &error))
            return usage(error);
    }
    if (parser.isSet(attempts)) {
        if (!RunValues::attempts("--attempts", parser.value(attempts), &settings.attempts, &error))
            return usage(error);
    }
    for (const QCommandLineOption &option : imageOptions) {
        const QString key = option.names().first();
        if (parser.isSet(option)) {
            if (!settings.imageSpec.set(key, "--" + key, parser.value(option), &error))
                return usage(error);
        }
    }
    if (!RunValues::combination(settings, "--", &error))
        return usage(error);
    if (parser.isSet(log))
        logPath = parser.value(log);
    scanFrom = parser.value(scanFromOption);
    if (!scanFrom.isEmpty() && !settings.scan.on())
        return usage("--scan-from goes with a job that scans labels (scan = optional or required)");
    // A job's store, station id and serial scheme, each overridden by the command line's.
    this->db = parser.isSet(db) || !job ? parser.value(db) : job->db;
    this->stationId = parser.isSet(stationId) || !job ? parser.value(stationId) : job->stationId;
    QMap<QString, QString> serialFields = job ? job->serialFields : QMap<QString, QString>();
    for (const auto &option : serialOptions)
        if (parser.isSet(option.first))
            serialFields.insert(option.second, parser.value(option.first));
    if (!serialFields.isEmpty()) {
        settings.serial = SerialScheme::fromFields(
            serialFields, job ? QFileInfo(job->path).absolutePath() : QDir::currentPath(), &error);
        if (!settings.serial)
            return usage(error);
    }

    // What the job asks must be answered here: no one is there to ask.
    operatorLot = job ? job->operatorLot : OperatorLot();
    for (const auto &[option, field] : operatorLotOptions)
        if (parser.isSet(option) && !operatorLot.answer(field, parser.value(option),
                                                        "--" + OperatorLot::key(field), &error))
            return usage(error);
    if (const QVector<OperatorLot::Field> open = operatorLot.unanswered();
        !open.isEmpty() && !check) {
        QStringList give;
        for (const OperatorLot::Field field : open)
            give << "--" + OperatorLot::key(field);
        return usage(QString("the job %1 asks for %2 at the start: give %3")
                         .arg(QFileInfo(job->path).fileName(), OperatorLot::inWords(open),
                              give.join(" and ")));
    }

    const Targets named = ports.isEmpty() && job ? job->targets() : Target::fromArguments(ports);
    if (!RunPlan::targetsOf(named, settings.station, &targets, &error))
        return usage(error);
    return {Parsed::Kind::Run, {}};
}

RunPlan Options::plan(const QString &invocation) const
{
    RunPlan plan;
    plan.targets = targets;
    plan.settings = settings;
    plan.image = image;
    plan.log = logPath;
    plan.db = db;
    plan.stationId = stationId;
    plan.invocation = invocation;
    plan.job = job;
    plan.operatorLot = operatorLot;
    return plan;
}
