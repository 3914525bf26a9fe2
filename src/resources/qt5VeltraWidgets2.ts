<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>CrossView::Private</name>
    <message>
        <source>Select object</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>You must convert the file %1 to SVG format</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Disconnected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Key regime %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unknown state</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Phase %1:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>(%1)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source> TF</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source> TF:%1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>OsmOperationsWidget</name>
    <message>
        <source>smooth rendering</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>smooth</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Zoom</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Opacity</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>OsmView</name>
    <message>
        <source>downloading ...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>network error %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
