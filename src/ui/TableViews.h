#pragma once

class QAbstractItemModel;
class QTableView;

namespace ui {

// The look every list of the program shares: whole rows selected one at a
// time, nothing edited in place, one line per row, headings on the left, the
// last column filling the width.
void SetUpTableView(QTableView* view, QAbstractItemModel* model);

} // namespace ui
