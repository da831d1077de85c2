#include "cli/doctorcommand.h"

#include "doctor/portdoctor.h"

#include <QJsonDocument>

#include <cstdio>

namespace
{
constexpr int ProblemStatus = 1;
constexpr int UsageStatus = 2;

const char Usage[] =
    "Usage: lumedra-cli doctor [-p PORT ...] [--json] [--root DIR]\n"
    "Says for each serial port why it fails or misbehaves, and the command that fixes it.\n"
    "\n"
    "  -p, --port PORT  a port to check (default: every serial port the system lists)\n"
    "  --json           one JSON object per port\n"
    "  --root DIR       read /dev, /sys, /proc, /run, /etc and /var under DIR\n"
    "  -h, --help       this help\n";

void print(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

QString text(const Diagnosis &diagnosis)
{
    QString out = QStringLiteral("%1  %2\n").arg(diagnosis.port, verdictName(diagnosis.verdict));
    for (const Finding &finding : diagnosis.findings) {
        out +=
            QStringLiteral("  %1  %2\n").arg(verdictName(finding.severity), -7).arg(finding.text);
        if (!finding.fix.isEmpty())
            out += QStringLiteral("           fix: %1\n").arg(finding.fix);
    }
    return out;
}
} // namespace

int runDoctor(const QStringList &arguments)
{
    QStringList ports;
    QString root = QStringLiteral("/");
    bool json = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool takesValue = argument == QLatin1String("-p") ||
                                argument == QLatin1String("--port") ||
                                argument == QLatin1String("--root");
        QString value;
        if (takesValue) {
            if (i + 1 == arguments.size()) {
                std::fprintf(stderr, "lumedra-cli doctor: %s needs a value\n",
                             qPrintable(argument));
                return UsageStatus;
            }
            value = arguments.at(++i);
        }
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            std::fputs(Usage, stdout);
            return 0;
        } else if (argument == QLatin1String("--json")) {
            json = true;
        } else if (argument == QLatin1String("--root")) {
            root = value;
        } else if (takesValue) {
            ports.append(value);
        } else if (argument.startsWith(QLatin1String("--port="))) {
            ports.append(argument.mid(int(qstrlen("--port="))));
        } else if (argument.startsWith(QLatin1String("--root="))) {
            root = argument.mid(int(qstrlen("--root=")));
        } else {
            std::fprintf(stderr, "lumedra-cli doctor: unknown argument '%s'\n%s",
                         qPrintable(argument), Usage);
            return UsageStatus;
        }
    }

    const PortDoctor doctor(root);
    if (ports.isEmpty())
        ports = doctor.ports();
    if (ports.isEmpty()) {
        std::fputs("lumedra-cli doctor: the system lists no serial port\n", stderr);
        return ProblemStatus;
    }
    bool problem = false;
    for (int i = 0; i < ports.size(); ++i) {
        const Diagnosis diagnosis = doctor.diagnose(ports.at(i));
        problem = problem || diagnosis.verdict == Verdict::Problem;
        if (json)
            print(QString::fromUtf8(
                      QJsonDocument(diagnosis.toJson()).toJson(QJsonDocument::Compact)) +
                  '\n');
        else
            print((i ? QStringLiteral("\n") : QString()) + text(diagnosis));
    }
    std::fflush(stdout);
    return problem ? ProblemStatus : 0;
}
