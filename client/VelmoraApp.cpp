// Velmora: the desktop client. CVelmoraApp's start routine refreshes the
// automation registration, reads the command line and runs the main window
// (CVelmoraDlg) until it closes; then the process ends.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "client/CommandLine.h"
#include "client/DlgProxy.h"
#include "client/VelmoraDlg.h"
#include "host/PageWindow.h"
#include "platform/automation.h"
#include "platform/codepage.h"
#include "platform/process.h"

namespace velmora {

namespace {

// The automation class: its name on the session bus, its object and the
// switch the bus starts it with.
constexpr char kAutomationName[] = "Velmora.Application";
constexpr char kAutomationPath[] = "/Velmora/Application";
constexpr char kActivationSwitch[] = "-Embedding";

enum ExitCode { kDone = 0, kNoDisplay = 1 };

}  // namespace

class CVelmoraApp {
 public:
  int InitInstance(int argc, char** argv);

 private:
  void OnCallerAttached() { m_proxies.push_back(std::make_unique<CVelmoraDlgAutoProxy>(m_pMainWnd)); }
  void OnCallerDetached() {
    if (!m_proxies.empty()) m_proxies.pop_back();
  }

  CVelmoraDlg* m_pMainWnd = nullptr;
  automation::Server m_automation;
  std::vector<std::unique_ptr<CVelmoraDlgAutoProxy>> m_proxies;
};

int CVelmoraApp::InitInstance(int argc, char** argv) {
  std::vector<std::string> words(argv, argv + argc);
  // The whole command line, as the client reads its fields: in the ANSI code page.
  std::string commandLine = codepage::Utf8ToAnsi(JoinCommandLine(words));

  // The automation switches. Every start but an unregistration refreshes
  // the class's activation file, except one the bus made itself; with a
  // register or unregister request the program ends here, without a window.
  AutomationRequest request =
      ParseAutomationSwitches(std::vector<std::string>(words.begin() + (argc > 0 ? 1 : 0), words.end()));
  if (request == AutomationRequest::Unregister) {
    automation::RemoveServiceFile(kAutomationName);
    return kDone;
  }
  if (request != AutomationRequest::Embedding)
    automation::WriteServiceFile(kAutomationName, process::ExecutablePath(), kActivationSwitch);
  if (request == AutomationRequest::Register) return kDone;
  // Every client offers its automation object; without a session bus it
  // runs without one.
  m_automation.Start(kAutomationName, kAutomationPath,
                     {[this] { OnCallerAttached(); }, [this] { OnCallerDetached(); }});

  if (!host::OpenDisplay(&argc, &argv)) {
    std::fprintf(stderr, "Velmora: cannot open the display\n");
    return kNoDisplay;
  }
  // The main window, run until it closes.
  CVelmoraDlg dlg(commandLine);
  m_pMainWnd = &dlg;
  dlg.DoModal();
  m_pMainWnd = nullptr;
  return kDone;
}

}  // namespace velmora

int main(int argc, char** argv) {
  velmora::CVelmoraApp app;
  return app.InitInstance(argc, argv);
}
