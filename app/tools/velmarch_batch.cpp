// velmarch-batch: runs the real main window offscreen on a source tree with scripted
// dialogs, presses "Unzip" and prints what the user would have seen.
//
//   velmarch-batch SOURCE [--dest DIR] [--delete] [--guard MB] [--save-log]
//                  [--create yes|no] [--low-space yes|no] [--program-dir DIR]
//
// Output, one record a line: msgbox<TAB>TITLE<TAB>TEXT for every message box,
// log<TAB>LINE for every log line, logfile<TAB>PATH when a log file was written.

#include "app/form1.h"
#include "platform/controls.h"
#include "platform/dialogs.h"
#include "platform/dosfs.h"
#include "platform/volumes.h"
#include "tests/support/scripted_dialogs.h"
#include "windows/frm_dir.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <cstdio>
#include <optional>

namespace {

constexpr const char* kCreateTitle = "Create Directory";
constexpr const char* kLowSpaceTitle = "You Need More Megs Free!!";

struct Options {
    QString source;
    std::optional<QString> dest;
    bool deleteArchives = false;
    std::optional<QString> guard;
    bool saveLog = false;
    std::optional<bool> create;
    std::optional<bool> lowSpace;
    std::optional<QString> programDir; // where the list file and the log go
};

// Answers the two questions of a run from the command line, whatever order they come in.
class BatchDialogs : public testsupport::ScriptedDialogs {
public:
    explicit BatchDialogs(const Options& options) : m_options(options) {}

    int msgBox(const QString& prompt, int buttons, const QString& title) override {
        if (title == QLatin1String(kCreateTitle) && m_options.create)
            queueAnswer(*m_options.create ? platform::vbYes : platform::vbNo);
        else if (title == QLatin1String(kLowSpaceTitle) && m_options.lowSpace)
            queueAnswer(*m_options.lowSpace ? platform::vbYes : platform::vbNo);
        return ScriptedDialogs::msgBox(prompt, buttons, title);
    }

private:
    const Options& m_options;
};

void usage() {
    std::fputs("usage: velmarch-batch SOURCE [--dest DIR] [--delete] [--guard MB] [--save-log]\n"
               "                      [--create yes|no] [--low-space yes|no] [--program-dir DIR]\n",
               stderr);
}

std::optional<bool> yesNo(const QString& text) {
    if (text == QLatin1String("yes"))
        return true;
    if (text == QLatin1String("no"))
        return false;
    return std::nullopt;
}

std::optional<Options> parse(const QStringList& args) {
    Options options;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        const bool hasValue = i + 1 < args.size();
        if (arg == QLatin1String("--dest") && hasValue) {
            options.dest = args.at(++i);
        } else if (arg == QLatin1String("--delete")) {
            options.deleteArchives = true;
        } else if (arg == QLatin1String("--guard") && hasValue) {
            options.guard = args.at(++i);
        } else if (arg == QLatin1String("--save-log")) {
            options.saveLog = true;
        } else if (arg == QLatin1String("--create") && hasValue) {
            options.create = yesNo(args.at(++i));
            if (!options.create)
                return std::nullopt;
        } else if (arg == QLatin1String("--low-space") && hasValue) {
            options.lowSpace = yesNo(args.at(++i));
            if (!options.lowSpace)
                return std::nullopt;
        } else if (arg == QLatin1String("--program-dir") && hasValue) {
            options.programDir = args.at(++i);
        } else if (!arg.startsWith(QLatin1String("--")) && options.source.isEmpty()) {
            options.source = arg;
        } else {
            return std::nullopt;
        }
    }
    if (options.source.isEmpty())
        return std::nullopt;
    return options;
}

QString oneLine(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\\n"));
    text.replace(u'\n', QLatin1String("\\n"));
    return text;
}

void print(const QString& line) {
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
}

// The DOS path of a host directory, or an empty text with a message on stderr.
QString dosPathOf(const QString& hostPath, const char* what) {
    const QString absolute = QFileInfo(hostPath).absoluteFilePath();
    const QString dos = platform::toDosPath(absolute);
    if (dos.isEmpty())
        std::fprintf(stderr, "velmarch-batch: %s %s has no drive path\n", what,
                     qPrintable(hostPath));
    return dos;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmarch"));

    const std::optional<Options> options = parse(QApplication::arguments());
    if (!options) {
        usage();
        return 2;
    }
    if (!QFileInfo(options->source).isDir()) {
        std::fprintf(stderr, "velmarch-batch: %s is not a directory\n",
                     qPrintable(options->source));
        return 2;
    }
    const QString source = dosPathOf(options->source, "source");
    if (source.isEmpty())
        return 2;
    QString dest;
    if (options->dest) {
        dest = dosPathOf(*options->dest, "destination");
        if (dest.isEmpty())
            return 2;
    }

    if (options->programDir) {
        const QString programDir = dosPathOf(*options->programDir, "program directory");
        if (programDir.isEmpty())
            return 2;
        platform::setProgramDirectory(programDir);
    }

    BatchDialogs dialogs(*options);
    platform::installDialogs(&dialogs);

    Form1 form;
    form.Form_Load();
    form.show();

    form.Drive1->setDrive(source.left(2));
    if (const platform::FsError error = form.Dir1->setPath(source)) {
        std::fprintf(stderr, "velmarch-batch: %s: %s\n", qPrintable(source),
                     qPrintable(error.description));
        platform::installDialogs(nullptr);
        return 2;
    }

    form.Check1->setChecked(options->deleteArchives);
    form.Check2->setChecked(options->guard.has_value());
    if (options->guard)
        form.TxtSel->setText(*options->guard);
    form.Check4->setChecked(options->saveLog);
    if (options->dest) {
        // Checking the box opens the chooser; apply the destination in it.
        dialogs.queueModalAction([dest](QWidget* window) {
            if (auto* chooser = qobject_cast<FrmDir*>(window)) {
                chooser->txtPath->setText(dest);
                chooser->Command1->click();
            }
        });
        form.Check3->setChecked(true);
    } else {
        // Without a destination every archive goes to its own directory; the destination
        // text only has to be non-empty for the run not to ask for one.
        form.Check3->setChecked(false);
        form.txtDesc->setText(source);
    }
    dialogs.clear();

    form.Command1_Click();

    for (const auto& message : dialogs.messages())
        print(QStringLiteral("msgbox\t") + oneLine(message.title) + u'\t' + oneLine(message.text));
    for (int i = 0; i < form.List1->count(); ++i)
        print(QStringLiteral("log\t") + oneLine(form.List1->item(i)->text()));
    if (!form.savedLogFile().isEmpty())
        print(QStringLiteral("logfile\t") + platform::toHostPath(form.savedLogFile()));

    platform::installDialogs(nullptr);
    return 0;
}
