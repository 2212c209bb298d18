// Qt's own texts (dialog buttons, the folder chooser) in the program's language.
#pragma once

class QCoreApplication;

// Loads Qt's Chinese translations into the application; false when the
// system has none (Debian's qttranslations5-l10n brings them).
bool installChineseQtTexts(QCoreApplication& application);
