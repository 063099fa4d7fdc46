#pragma once

#include "engine/BackupView.h"
#include "engine/StatusJournal.h"

#include <QAbstractTableModel>

#include <vector>

namespace ui {

// The table model behind StatusGrid: a GUI-thread mirror of the backup status
// journal. Backup workers write the journal on their own threads; each change
// reaches this model as a queued call, in the order the journal made it, so
// the views are only ever touched on the GUI thread and a worker never waits
// for the window. Construct the model before runs start: it copies the rows
// the journal holds at that moment. Detach (or destroy) it on the GUI thread.
//
// Below the journal's rows it shows one "Waiting" row per run that waits for
// its turn, in the order they will run; they are the window's, not the
// journal's, and carry no serial number. A row whose run failed shows an
// error icon in its status cell.
class StatusGridModel final : public QAbstractTableModel, private engine::StatusJournal::Observer {
    Q_OBJECT
public:
    static constexpr const char* kWaitingText = "Waiting";

    enum class Outcome { Running, Completed, Failed, Stopped };

    static int columnWidth(int column);

    explicit StatusGridModel(engine::StatusJournal& journal, QObject* parent = nullptr);
    ~StatusGridModel() override;

    // Stops following the journal; after it returns no worker reaches this model.
    void detach();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Waiting rows: added in order, and taken away when the run begins (the
    // first waiting row of that database) or is dropped.
    void addWaiting(const std::vector<engine::QueuedRun>& runs);
    void removeWaiting(const engine::QueuedRun& run);
    int waitingCount() const { return static_cast<int>(m_waiting.size()); }
    // How the run of a journal row went; rows out of range are ignored.
    void setOutcome(int journalRow, Outcome outcome);
    Outcome outcome(int journalRow) const;

signals:
    // A cell changed on the GUI side (after the queued update was applied).
    void cellUpdated(int row, int column, const QString& text);

private:
    // Called on worker threads with the journal's mutex held.
    void rowInserted(int row) override;
    void cellChanged(int row, int column, const std::string& text) override;
    void cleared() override;

    void applyInsert(int row);
    void applyCell(int row, int column, const QString& text);
    void applyClear();

    engine::StatusJournal* m_journal;
    std::vector<std::array<QString, engine::kStatusColumnCount>> m_rows;
    std::vector<Outcome> m_outcomes; // one per journal row
    std::vector<engine::QueuedRun> m_waiting;
};

} // namespace ui
