#pragma once

// The application object: shows the dialog modally; the program ends when it closes.
class CGeneratorApp {
public:
    bool InitInstance();
};
