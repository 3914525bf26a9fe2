// The API reference as Qt Creator's context help uses it: the help engine finds the
// page of each class by its name, and the entry of each public member by
// "Class::member", from the registered .qch alone.
#include "RowTable.h"

#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtCore/QXmlStreamReader>
#include <QtHelp/QHelpEngineCore>
#include <QtHelp/QHelpLink>
#include <QtTest/QtTest>

namespace {

// clang-format off
const struct { const char *name; } classRows[] = {
    {"OsmView"},
    {"ImageMapView"},
    {"CrossView"},
};
// clang-format on

struct Member
{
    QString name, url;
};

// The page of class `name` and its public and protected members with the link to
// each, as Doxygen's tag file lists them.
QString readTagFile(const QString &name, QVector<Member> *members)
{
    QFile file(QStringLiteral(VELTRA_DOCS_TAG_FILE));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QXmlStreamReader xml(&file);
    QString page, inClass, kind, protection, memberName, anchorFile;
    while (xml.readNext() != QXmlStreamReader::EndDocument && !xml.hasError()) {
        const QString tag = xml.name().toString();
        if (xml.isStartElement() && tag == QLatin1String("compound")) {
            inClass = xml.attributes().value(QLatin1String("kind")) == QLatin1String("class")
                ? QStringLiteral("?")
                : QString();
        } else if (xml.isStartElement() && tag == QLatin1String("member")) {
            kind = xml.attributes().value(QLatin1String("kind")).toString();
            protection = xml.attributes().value(QLatin1String("protection")).toString();
        } else if (xml.isStartElement() && !inClass.isEmpty()) {
            const QString text = xml.readElementText();
            if (kind.isEmpty() && tag == QLatin1String("name"))
                inClass = text;
            else if (kind.isEmpty() && tag == QLatin1String("filename") && inClass == name)
                page = text;
            else if (tag == QLatin1String("name"))
                memberName = text;
            else if (tag == QLatin1String("anchorfile"))
                anchorFile = text;
            else if (tag == QLatin1String("anchor") && inClass == name
                     && protection != QLatin1String("private"))
                members->append({name + QLatin1String("::") + memberName,
                                 anchorFile + QLatin1Char('#') + text});
        } else if (xml.isEndElement() && tag == QLatin1String("member")) {
            kind.clear();
        }
    }
    return page;
}

QStringList pagesOf(const QList<QHelpLink> &links)
{
    QStringList pages;
    for (const QHelpLink &link : links)
        pages << link.url.fileName()
                + (link.url.hasFragment() ? '#' + link.url.fragment() : QString());
    return pages;
}

} // namespace

class tst_Docs : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void identifiers_data() { addRows(classRows); }
    void identifiers();

private:
    QTemporaryDir dir;
    std::unique_ptr<QHelpEngineCore> engine;
};

void tst_Docs::initTestCase()
{
    engine.reset(new QHelpEngineCore(dir.filePath(QStringLiteral("help.qhc"))));
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    engine->setReadOnly(false); // Qt 6's engine registers nothing otherwise
#endif
    QVERIFY2(engine->setupData(), qPrintable(engine->error()));
    QVERIFY2(engine->registerDocumentation(QStringLiteral(VELTRA_DOCS_QCH)),
             qPrintable(engine->error()));
}

void tst_Docs::identifiers()
{
    QFETCH(int, row);
    const QString name = QLatin1String(classRows[row].name);
    QVector<Member> members;
    const QString page = readTagFile(name, &members);
    QCOMPARE(page, QStringLiteral("class%1.html").arg(name));
    QVERIFY(members.size() > 3); // the constructor, a property and its accessors at least
    QVERIFY(pagesOf(engine->documentsForIdentifier(name)).contains(page));
    // Overloads, and a property with its getter, share one identifier and one entry.
    QMultiHash<QString, QString> entries;
    for (const Member &m : std::as_const(members))
        entries.insert(m.name, m.url);
    for (const QString &id : entries.uniqueKeys()) {
        const QStringList found = pagesOf(engine->documentsForIdentifier(id));
        QVERIFY2(found.size() == 1 && entries.values(id).contains(found.first()),
                 qPrintable(id + QLatin1String(": ") + found.join(' ')));
    }
}

QTEST_GUILESS_MAIN(tst_Docs)
#include "tst_docs.moc"
