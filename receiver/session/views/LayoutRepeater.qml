import QtQuick

// A Repeater whose items stand in a Qt Quick layout. Qt 6.4's layouts hold an item that a Repeater freed
// until their next polish, and lay it out, freed, should their size change first; so whenever the count
// changes, the layout is told to let go at once. Given a count as its model, with delegates that read their
// data by index, it keeps its items through new figures and frees some only when the count changes.
Repeater {
    onCountChanged: {
        if (parent)
            parent.ensurePolished()
    }
}
