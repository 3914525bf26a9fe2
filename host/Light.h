#ifndef SIVEL_LIGHT_H
#define SIVEL_LIGHT_H

#include <QtCore/QDateTime>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QVariant>

namespace Sivel {

class Phase;

// The reference host's traffic light: what a CrossView reads from a light.
//
// Contract: a QObject whose class is named "Sivel::Light" with the properties below,
// an invokable "QList<QObject*> phases()" and a signal "stateChanged()" emitted on the
// GUI thread whenever the state changes. Properties typed QVariant may be left invalid
// to stand for a controller that does not report them.
class Light : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int id READ id WRITE setId)
    Q_PROPERTY(QString description READ description WRITE setDescription)
    Q_PROPERTY(QVariant shema READ shema WRITE setShema)
    Q_PROPERTY(int currentPhase READ currentPhase WRITE setCurrentPhase)
    Q_PROPERTY(bool isConnected READ isConnected WRITE setConnected)
    Q_PROPERTY(QDateTime phaseChangeTime READ phaseChangeTime WRITE setPhaseChangeTime)
    Q_PROPERTY(QVariant transitionFlag READ transitionFlag WRITE setTransitionFlag)
    Q_PROPERTY(QVariant phaseLength READ phaseLength WRITE setPhaseLength)
    Q_PROPERTY(QVariant keyRegime READ keyRegime WRITE setKeyRegime)

public:
    explicit Light(QObject *parent = nullptr);

    int id() const { return m_id; }
    void setId(int id) { m_id = id; }
    QString description() const { return m_description; }
    void setDescription(const QString &text) { m_description = text; }
    QVariant shema() const { return m_shema; }
    void setShema(const QVariant &scheme) { m_shema = scheme; }
    int currentPhase() const { return m_currentPhase; }
    void setCurrentPhase(int phase) { m_currentPhase = phase; }
    bool isConnected() const { return m_connected; }
    void setConnected(bool on) { m_connected = on; }
    QDateTime phaseChangeTime() const { return m_phaseChangeTime; }
    void setPhaseChangeTime(const QDateTime &t) { m_phaseChangeTime = t; }
    QVariant transitionFlag() const { return m_transitionFlag; }
    void setTransitionFlag(const QVariant &v) { m_transitionFlag = v; }
    QVariant phaseLength() const { return m_phaseLength; }
    void setPhaseLength(const QVariant &v) { m_phaseLength = v; }
    QVariant keyRegime() const { return m_keyRegime; }
    void setKeyRegime(const QVariant &v) { m_keyRegime = v; }

    // Adds a phase owned by the light; its picture is drawn in the scheme's coordinates.
    Phase *addPhase(int id, const QVariant &shema);
    Q_INVOKABLE QList<QObject *> phases() const;

    // Emits stateChanged(): the host calls it after changing the state above.
    void notify() { Q_EMIT stateChanged(); }

Q_SIGNALS:
    void stateChanged();

private:
    int m_id = 0;
    QString m_description;
    QVariant m_shema;
    int m_currentPhase = -1;
    bool m_connected = true;
    QDateTime m_phaseChangeTime;
    QVariant m_transitionFlag;
    QVariant m_phaseLength;
    QVariant m_keyRegime;
    QList<QObject *> m_phases;
};

class Phase : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int id READ id)
    Q_PROPERTY(QVariant shema READ shema)

public:
    Phase(int id, const QVariant &shema, QObject *parent) : QObject(parent), m_id(id), m_shema(shema) { }
    int id() const { return m_id; }
    QVariant shema() const { return m_shema; }

private:
    int m_id;
    QVariant m_shema;
};

} // namespace Sivel

#endif
