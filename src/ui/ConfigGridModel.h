#pragma once

#include "config/DatabaseList.h"

#include <QAbstractTableModel>

#include <functional>

namespace ui {

// The table model behind ConfigGrid: the ten text columns of the database
// list, one row per database. The list belongs to the main window; every
// change to it goes through this model (appendRow, setRow, removeDatabaseRow,
// reload) so that views are told before and after the change. Changes made to
// the list directly are still seen through its observer, as a reset.
// GUI thread only.
class ConfigGridModel final : public QAbstractTableModel, private config::DatabaseList::Observer {
    Q_OBJECT
public:
    // Column widths of the grid, in pixels; 0 hides the column.
    static int columnWidth(int column);

    explicit ConfigGridModel(config::DatabaseList& list, QObject* parent = nullptr);
    ~ConfigGridModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const config::DatabaseList& list() const { return m_list; }

    // A second line for the tooltip of a row (its schedule, while the auto
    // service runs); an empty text adds nothing.
    void setToolTipProvider(std::function<QString(int row)> provider) { m_toolTipProvider = std::move(provider); }

    // Appends a row of the given cells; returns its index.
    int appendRow(const config::DatabaseList::Row& cells);
    // Rewrites the cells from `fromColumn` on (the server's backup path too)
    // of `row` from `cells`.
    void setRow(int row, const config::DatabaseList::Row& cells, int fromColumn = 0);
    void removeDatabaseRow(int row);
    // Runs `change` on the list as one reset of the model (loading a file).
    void reload(const std::function<void(config::DatabaseList&)>& change);

private:
    void rowInserted(int row) override;
    void rowRemoved(int row) override;
    void cellChanged(int row, int column) override;
    void listReset() override;

    config::DatabaseList& m_list;
    int m_rows = 0;           // the row count the views know of
    bool m_applying = false;  // a change of ours is under way
    std::function<QString(int row)> m_toolTipProvider;
};

} // namespace ui
