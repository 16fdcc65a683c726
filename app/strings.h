// The program's string resources by id, and the fixed texts of its windows.
// Every text a person sees in the window comes from here, so that the window,
// the command line and the tests use the very same words.
#pragma once

#include <string>

namespace tapscope::app {

enum StringId : int {
    IDS_ABOUTBOX = 101,  // "&About tapScope..."
    IDS_TAB_COM = 102,
    IDS_TAB_UDP = 103,
    IDS_TAB_TCP = 104,
    IDS_START = 105,  // button caption while idle
    IDS_STOP = 106,   // button caption while a capture runs
    // The two validation texts of the integer exchange of a settings page.
    IDS_PARSE_INT = 61700,        // "Enter an integer."
    IDS_PARSE_INT_RANGE = 61701,  // "Enter an integer between %1 and %2."
};

// The text of string |id|; empty for an id the program does not have.
std::string LoadString(int id);

// The program's name: the caption of its own message boxes.
inline constexpr const char* kProgramName = "tapscope";

// Main window (dialog template 102).
inline constexpr const char* kMainTitle = "Read protocol from service.";
inline constexpr const char* kFileNameLabel = "Log file name:";
inline constexpr const char* kBrowseText = "...";
inline constexpr const char* kStatusLabel = "Status:";
// The context menu item that makes a serial capture wait for its device.
inline constexpr const char* kReconnectText = "Reconnect a serial device that comes back";
inline constexpr const char* kKeepListeningText = "Keep listening when a TCP client closes";
// The context menu item that opens the live view beside the window.
inline constexpr const char* kLiveViewText = "Live view...";
inline constexpr const char* kInitialCaption = "Start";

// About box (dialog template 100).
inline constexpr const char* kAboutTitle = "About tapScope";
inline constexpr const char* kAboutVersion = "tapScope, Version 1.0";
inline constexpr const char* kAboutLine = "Serial, UDP and TCP capture";

// Messages of the capture.
inline constexpr const char* kEmptyFileName = "Empty log file name";
inline constexpr const char* kOverwriteQuestion = "File '%1%' exists.\r\n Overwrite file?";
inline constexpr const char* kCannotOpenFile = "Cannot open file";

// The file dialog of the browse button.
inline constexpr const char* kBrowseFilter = "Text Files (*.txt);;All Files (*)";
inline constexpr const char* kBrowseExtension = "txt";

}  // namespace tapscope::app
