// Where each window was and how big, kept in the profile store between
// starts (beside the profiles, under their own key).
#pragma once

#include <QRect>
#include <optional>
#include <string>

namespace kestova {

// Stores the window's place under `name`; a store that cannot be written
// costs only the place.
void RememberPlace(const std::string& store_file, const char* name, const QRect& place);
// The stored place, when there is one and a screen still shows enough of it
// to grab the window by its title.
std::optional<QRect> RememberedPlace(const std::string& store_file, const char* name);

}  // namespace kestova
