#include "ui/window_places.h"

#include <QGuiApplication>
#include <QScreen>
#include <QStringList>

#include "platform/registry.h"

namespace kestova {

namespace {
const char* const kKey = "\\Software\\Brindlecote\\Kestova\\Windows";
}  // namespace

void RememberPlace(const std::string& store_file, const char* name, const QRect& place) {
  try {
    Registry registry(store_file.empty() ? Registry::DefaultFile() : store_file);
    registry.CreateKey(kKey);
    registry.WriteString(
        kKey, name,
        QString("%1,%2,%3,%4").arg(place.x()).arg(place.y()).arg(place.width()).arg(place.height()).toStdString());
  } catch (const RegistryError&) {
    // The place is a convenience: a damaged store is reported where the
    // profiles are read.
  }
}

std::optional<QRect> RememberedPlace(const std::string& store_file, const char* name) {
  std::string text;
  try {
    Registry registry(store_file.empty() ? Registry::DefaultFile() : store_file);
    if (!registry.KeyExists(kKey) || registry.ValueType(kKey, name) != RegistryType::rdString) return std::nullopt;
    text = registry.ReadString(kKey, name);
  } catch (const RegistryError&) {
    return std::nullopt;
  }
  const QStringList parts = QString::fromStdString(text).split(',');
  if (parts.size() != 4) return std::nullopt;
  int numbers[4];
  for (int i = 0; i < 4; ++i) {
    bool ok = false;
    numbers[i] = parts[i].toInt(&ok);
    if (!ok) return std::nullopt;
  }
  const QRect place(numbers[0], numbers[1], numbers[2], numbers[3]);
  if (place.width() < 50 || place.height() < 50 || place.width() > 20000 || place.height() > 20000) return std::nullopt;
  // A screen that was unplugged since must not leave the window out of sight.
  const QRect title_bar(place.x(), place.y(), place.width(), 30);
  for (const QScreen* screen : QGuiApplication::screens()) {
    const QRect seen = screen->availableGeometry().intersected(title_bar);
    if (seen.width() >= 60 && seen.height() >= 10) return place;
  }
  return std::nullopt;
}

}  // namespace kestova
