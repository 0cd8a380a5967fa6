#include "app/config_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <cstdlib>

namespace vxr {
namespace {

QString ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return QString::fromLocal8Bit(xdg);
  return QDir::homePath() + "/.config";
}

QString Key(const std::string& section, const std::string& key) {
  return QString::fromStdString(section) + '/' + QString::fromStdString(key);
}

}  // namespace

CConfigStore::CConfigStore(std::string app_name) : CConfigStore(app_name, DefaultPath(app_name)) {
  QDir().mkpath(QFileInfo(QString::fromStdString(file_path_)).absolutePath());
}

CConfigStore::CConfigStore(std::string app_name, std::string file_path)
    : app_name_(std::move(app_name)), file_path_(std::move(file_path)) {}

std::string CConfigStore::DefaultPath(const std::string& app_name) {
  return (ConfigHome() + "/Kavendi/Calvera/" + QString::fromStdString(app_name) + ".ini")
      .toStdString();
}

std::string CConfigStore::Read(const std::string& section, const std::string& key,
                               const std::string& fallback) const {
  QSettings settings(QString::fromStdString(file_path_), QSettings::IniFormat);
  const QVariant value = settings.value(Key(section, key));
  if (value.typeId() != QMetaType::QString) return fallback;
  return value.toString().toStdString();
}

std::string CConfigStore::ReadCommaList(const std::string& section, const std::string& key,
                                        const std::string& fallback) const {
  QSettings settings(QString::fromStdString(file_path_), QSettings::IniFormat);
  const QVariant value = settings.value(Key(section, key));
  if (value.typeId() == QMetaType::QString) return value.toString().toStdString();
  if (value.typeId() == QMetaType::QStringList) {
    return value.toStringList().join(QLatin1Char(',')).toStdString();
  }
  return fallback;
}

void CConfigStore::Write(const std::string& section, const std::string& key,
                         const std::string& value) {
  QSettings settings(QString::fromStdString(file_path_), QSettings::IniFormat);
  settings.setValue(Key(section, key), QString::fromStdString(value));
  settings.sync();
  KeepSecretsPrivate();
}

void CConfigStore::KeepSecretsPrivate() const {
  // A stream passphrase in the file makes it the owner's alone; the settings library writes a
  // new file each time, so this follows every write.
  QFile file(QString::fromStdString(file_path_));
  if (!file.open(QIODevice::ReadOnly)) return;
  // Names in any case: the stream outputs take them so.
  const QByteArray text = file.readAll().toLower();
  file.close();
  if (text.contains("passphrase=") || text.contains("secret=")) {
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  }
}

void CConfigStore::Remove(const std::string& section, const std::string& key) {
  QSettings settings(QString::fromStdString(file_path_), QSettings::IniFormat);
  settings.remove(Key(section, key));
  settings.sync();
  KeepSecretsPrivate();
}

}  // namespace vxr
