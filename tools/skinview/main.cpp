// skinview: opens a skin in the deck's panel window, as the deck would, and logs every command
// the panel receives. For skin authors, and for a look at the panel.
//   skinview [--demo] [--screenshot FILE] [SKINFILE]
// Without SKINFILE it opens vxrdeck.skn next to itself, else an installation's in
// ../share/vxrdeck. --demo lights a playing deck's lamps; --screenshot saves the panel as PNG
// once it is shown, then ends. Escape or POWER ends it.

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/skinview/skin_view_dialog.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setWindowIcon(QIcon(":/icons/vxrdeck_32.png"));
  std::string skin, screenshot;
  bool demo = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
      screenshot = argv[++i];
    } else if (std::strcmp(argv[i], "--demo") == 0) {
      demo = true;
    } else if (argv[i][0] == '-' || !skin.empty()) {
      std::fprintf(stderr, "usage: skinview [--demo] [--screenshot FILE] [SKINFILE]\n");
      return 2;
    } else {
      skin = argv[i];
    }
  }
  if (skin.empty()) {
    // The build tree's skin beside the program, else an installation's in ../share/vxrdeck.
    const QString folder = QFileInfo(QCoreApplication::applicationFilePath()).absolutePath();
    QString path = folder + "/vxrdeck.skn";
    const QString installed = folder + "/../share/vxrdeck/vxrdeck.skn";
    if (!QFileInfo::exists(path) && QFileInfo::exists(installed)) {
      path = QFileInfo(installed).absoluteFilePath();
    }
    skin = path.toStdString();
  }

  vxr::CSkinViewDialog panel(stdout);
  panel.SetSkinPath(skin);
  std::fprintf(stdout, "skin %s\n", skin.c_str());
  std::fflush(stdout);
  bool saved = true;
  QTimer::singleShot(0, &panel, [&] {
    if (!panel.SkinLoaded()) return;
    if (demo) panel.ShowDemoState();
    if (!screenshot.empty()) {
      saved = panel.grab().save(QString::fromStdString(screenshot), "PNG");
      panel.done(QDialog::Accepted);
    }
  });
  panel.exec();
  if (!panel.SkinLoaded()) return 1;
  if (!saved) {
    std::fprintf(stderr, "skinview: cannot save %s\n", screenshot.c_str());
    return 1;
  }
  return 0;
}
