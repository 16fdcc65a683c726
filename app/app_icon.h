// The application icon (resource 128), drawn from its scalable image at the
// sizes window managers and task bars ask for.
#pragma once

#include <QIcon>

namespace tapscope::app {

QIcon ApplicationIcon();

}  // namespace tapscope::app
