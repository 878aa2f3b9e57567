#pragma once
// The id the desktop knows Quorvel by (QUORVEL_APP_ID: it names the launcher,
// the icon and the metadata) and the window's icon. Main thread only.
#include <QIcon>

// The icon theme's, when Quorvel is installed; else the copy built in.
QIcon appIcon();
