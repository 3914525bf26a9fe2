#ifndef LIGHTWITHOUTPHASES_H
#define LIGHTWITHOUTPHASES_H

class QObject;
class QVariant;

// A light of another host: its class is named "Sivel::Light" like the reference host's
// and it has a scheme and a running phase, but no phases() method.
QObject *createLightWithoutPhases(const QVariant &scheme, QObject *parent = nullptr);

#endif
