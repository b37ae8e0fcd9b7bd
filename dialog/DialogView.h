#pragma once

#include <functional>
#include <string>

// The dialog's fields, as the user left them.
struct tagFields {
    std::string strDomains; // lines as the toolkit's field gives them
    std::string strSitePath;
    std::string strPrefix;
    bool bWww = false;
};

enum class EField { Domains, SitePath, Prefix };

// Runs a call on the dialog's thread.
using tagPoster = std::function<void(std::function<void()>)>;

// What the dialog's logic asks of a front end: a toolkit's dialog implements it, and tests record
// it. Every call comes on the dialog's thread.
class CDialogView {
public:
    virtual ~CDialogView() = default;

    virtual tagFields readFields() const = 0;
    // The remembered settings, into their fields at start-up.
    virtual void showFields(const std::string& strSitePath, const std::string& strPrefix, bool bWww) = 0;
    virtual void setStatus(const std::string& strText) = 0;
    virtual void setStartButton(const std::string& strText, bool bEnabled) = 0;
    virtual void focusField(EField eField) = 0;
    // A modal warning box owned by the dialog; returns when the user has closed it.
    virtual void showWarning(const std::string& strText) = 0;
    virtual void showAbout() = 0;
    // Opens the file in the program the system has for it; false, with the reason, when it
    // cannot.
    virtual bool openFile(const std::string& strPath, std::string& strReason) = 0;
    // What carries the end of a run from the worker to the dialog's thread, to be handled by
    // whatever loop runs there then (a message box's too). The worker calls it while the view is
    // being closed too, so it must touch nothing of the view but what stays until the logic's
    // Shutdown has returned.
    virtual tagPoster poster() = 0;
    // While on, the view calls CGeneratorLogic::OnProgressTimer some twenty times a second.
    virtual void setProgressTimer(bool bOn) = 0;
};
