// Qt's own texts (standard buttons, the file dialogs, the context menus of
// edit boxes) in Russian, like the rest of the program, whatever the
// system's locale.
#pragma once

class QCoreApplication;

// Loads the toolkit's Russian catalogue into the application (the translator
// belongs to it). False when the catalogue is not installed: the toolkit's
// texts then stay English.
bool InstallToolkitTranslations(QCoreApplication& app);
