// A Qt style plugin as any user can put on QT_PLUGIN_PATH: when the program
// loads it (QT_STYLE_OVERRIDE=capprobe), it writes the capabilities it runs
// with to the file named by HALYARD_CAP_PROBE_REPORT. The package test loads
// it into the installed window to show that code a user brings never holds a
// right.
#include <QStyleFactory>
#include <QStylePlugin>

#include <cstdlib>
#include <fstream>
#include <string>

class CapProbeStylePlugin : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "cap_probe_style.json")
  public:
    QStyle* create(const QString&) override {
        if (const char* report = std::getenv("HALYARD_CAP_PROBE_REPORT")) {
            std::ifstream status("/proc/self/status");
            std::ofstream out(report);
            std::string line;
            while (std::getline(status, line))
                if (line.rfind("Cap", 0) == 0)
                    out << line << "\n";
        }
        return QStyleFactory::create("Fusion");
    }
};

#include "cap_probe_style.moc"
