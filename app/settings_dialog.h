// ISettingsDialog: what the capture knows of a transport settings page. The
// page turns the values it shows into the settings document that the
// transport of its tab is built from.
//
// Called on the window thread only.
#pragma once

#include <string>

class ISettingsDialog {
public:
    // The settings document for the values now shown (the page first takes
    // them from its controls). Always a document, even when a value could not
    // be taken: the page has then told the operator why.
    virtual std::string GetSettings() = 0;

    // True when the last GetSettings found a value it could not take. The
    // document it built holds an older or out-of-range value, so no capture
    // starts from it.
    virtual bool SettingsRejected() const { return false; }

protected:
    ~ISettingsDialog() = default;
};
