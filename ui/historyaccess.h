#pragma once
// What assistive tools see of the history list: a list whose items are the
// rows, each named by its one-line summary, with the two actions its painted
// buttons offer, "Copy" and "Delete". The actions run the list's own
// QActions of those names (object names "copyRow" and "deleteRow") on the
// row. Main thread only.
class QListView;

namespace HistoryAccess {

// Makes the accessible interface of list the one above; call once per list,
// after its actions are in place.
void expose(QListView *list);

} // namespace HistoryAccess
