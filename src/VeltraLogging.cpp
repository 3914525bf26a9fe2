#include "VeltraLogging.h"

Q_LOGGING_CATEGORY(lcTiles, "veltra.tiles")
Q_LOGGING_CATEGORY(lcDownload, "veltra.download")
Q_LOGGING_CATEGORY(lcPane, "veltra.pane")
Q_LOGGING_CATEGORY(lcImages, "veltra.images")
Q_LOGGING_CATEGORY(lcCrossView, "veltra.crossview")
