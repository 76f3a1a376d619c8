// The look-up of a named setting's text, for the layers below the
// configuration library (the message library's A_MESSAGE, the temporary
// folder of the path helpers). They may not call the configuration, which
// sits above them and itself uses them; the configuration installs its
// look-up (Agetenv: a variable's value text, else the environment) when it
// starts. Until then, and in a program without a configuration, the
// environment answers alone, which is what Agetenv answers when no
// variable is set.
#pragma once

namespace kel {

// Answers the text of `name`, or null when it has none or it is empty.
using SettingLookup = const char *(*)(const char *name);

// Installs `lookup` (null: the environment again).
void install_setting_lookup(SettingLookup lookup);

// The text of `name` through the installed look-up; null when there is
// none or it is empty. A text from the configuration is valid until ten
// further look-ups.
const char *setting_text(const char *name);

}  // namespace kel
