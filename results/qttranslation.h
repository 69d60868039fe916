#pragma once

class QTranslator;

// Qt's own texts in French (the buttons of message boxes, file dialogs,
// the menus of line edits): qtbase_fr.qm from Qt's translations folder, else
// from translations/ beside the program, where the Windows installer puts
// it. The program's own texts are written in French and are not translated.
// Installs the translation in the running application, which owns it;
// nullptr when no file was found (Qt then speaks English).
QTranslator *LoadQtTranslation();
