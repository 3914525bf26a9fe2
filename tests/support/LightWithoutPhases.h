#ifndef LIGHTWITHOUTPHASES_H
#define LIGHTWITHOUTPHASES_H

class QObject;

// A light of another host: its class is named "Sivel::Light" like the reference host's and
// it has the stateChanged() signal, but no properties and no phases() method.
QObject *createLightWithoutPhases(QObject *parent);

#endif
