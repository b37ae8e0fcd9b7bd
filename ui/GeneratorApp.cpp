#include "ui/GeneratorApp.h"

#include "ui/GeneratorDlg.h"

bool CGeneratorApp::InitInstance() {
    CGeneratorDlg dlg;
    dlg.exec();
    return false;
}
