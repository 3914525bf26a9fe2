#ifndef VELTRALOGGING_H
#define VELTRALOGGING_H

#include <QtCore/QLoggingCategory>

// The library's messages by subsystem, so that a host can silence or route them with
// QLoggingCategory::setFilterRules("veltra.download.debug=false") or QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcTiles)     // "veltra.tiles": tile stores and their files
Q_DECLARE_LOGGING_CATEGORY(lcDownload)  // "veltra.download": tile requests and replies
Q_DECLARE_LOGGING_CATEGORY(lcPane)      // "veltra.pane": the operations pane and the host scene
Q_DECLARE_LOGGING_CATEGORY(lcImages)    // "veltra.images": images refused before decoding
Q_DECLARE_LOGGING_CATEGORY(lcCrossView) // "veltra.crossview": the light and its pictures

#endif
