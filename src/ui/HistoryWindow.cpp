#include "ui/HistoryWindow.h"

#include "ui/HistoryReader.h"
#include "ui/TableViews.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>

namespace ui {

namespace {

constexpr std::chrono::seconds kRefreshInterval{30};

history::Millis SystemNow()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QTableView* MakeTable(QAbstractItemModel* model, const char* objectName)
{
    auto* view = new QTableView;
    view->setObjectName(QLatin1String(objectName));
    SetUpTableView(view, model);
    return view;
}

} // namespace

HistoryWindow::HistoryWindow(HistoryReader& reader, ListedFn listed, QWidget* parent, NowFn now)
    : QDialog(parent)
    , m_reader(reader)
    , m_listed(std::move(listed))
    , m_now(now ? std::move(now) : NowFn(SystemNow))
    , m_databases(std::make_unique<HistoryDatabaseModel>())
    , m_runs(std::make_unique<HistoryRunModel>())
{
    setObjectName(QStringLiteral("HistoryWindow"));
    setWindowTitle(QStringLiteral("Backup History"));
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    setSizeGripEnabled(true);

    m_databaseView = MakeTable(m_databases.get(), "HistoryDatabases");
    const int widths[] = {200, 170, 240, 200, 150};
    for (int column = 0; column < HistoryDatabaseModel::ColumnCount; ++column)
        m_databaseView->setColumnWidth(column, widths[column]);
    m_runView = MakeTable(m_runs.get(), "HistoryRuns");
    const int runWidths[] = {120, 85, 80, 75, 75, 65, 85, 100, 200};
    for (int column = 0; column < HistoryRunModel::ColumnCount; ++column)
        m_runView->setColumnWidth(column, runWidths[column]);

    m_chartView = new QChartView;
    m_chartView->setObjectName(QStringLiteral("HistoryChart"));
    m_chartView->setRenderHint(QPainter::Antialiasing);
    m_chartView->setMinimumHeight(180);

    auto* lower = new QSplitter(Qt::Horizontal);
    lower->addWidget(m_runView);
    lower->addWidget(m_chartView);
    lower->setStretchFactor(0, 1);
    lower->setStretchFactor(1, 1);
    // Room for the table's first five columns beside the chart.
    lower->setSizes({560, 520});
    auto* split = new QSplitter(Qt::Vertical);
    split->setObjectName(QStringLiteral("HistorySplitter"));
    split->addWidget(m_databaseView);
    split->addWidget(lower);
    split->setStretchFactor(0, 2);
    split->setStretchFactor(1, 3);
    split->setChildrenCollapsible(false);

    m_state = new QLabel;
    m_state->setObjectName(QStringLiteral("HistoryState"));
    m_state->setWordWrap(true);
    m_state->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    QPushButton* refreshButton = buttons->addButton(QStringLiteral("Refresh"), QDialogButtonBox::ActionRole);
    refreshButton->setObjectName(QStringLiteral("HistoryRefresh"));
    refreshButton->setAutoDefault(false);
    buttons->button(QDialogButtonBox::Close)->setAutoDefault(false);
    connect(refreshButton, &QPushButton::clicked, this, &HistoryWindow::refresh);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split, 1);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(m_state, 1);
    bottom->addWidget(buttons);
    layout->addLayout(bottom);

    connect(m_databaseView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { showRuns(current.isValid() ? current.row() : -1); });

    m_timer = new QTimer(this);
    m_timer->setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(kRefreshInterval));
    connect(m_timer, &QTimer::timeout, this, &HistoryWindow::refresh);

    resize(1100, 640);
    drawChart(QStringLiteral("Select a database to see its runs"));
}

HistoryWindow::~HistoryWindow() = default;

QChart* HistoryWindow::chart() const
{
    return m_chartView->chart();
}

void HistoryWindow::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    refresh();
    m_timer->start();
}

void HistoryWindow::hideEvent(QHideEvent* event)
{
    m_timer->stop();
    QDialog::hideEvent(event);
}

void HistoryWindow::refresh()
{
    std::string selectedDatabase;
    std::string selectedServer;
    if (const HistoryLine* current = m_databases->line(m_databaseView->currentIndex().row())) {
        selectedDatabase = current->verdict.watched.database;
        selectedServer = current->verdict.watched.server;
    }

    const std::vector<Listed> listed = m_listed ? m_listed() : std::vector<Listed>{};
    std::vector<history::WatchedDatabase> watched;
    for (const Listed& entry : listed)
        watched.push_back(entry.watched);
    std::vector<history::DatabaseSummary> known;
    QString error;
    m_reader.invalidate();
    const bool read = m_reader.summaries(known, error);
    const history::Millis now = m_now();
    const history::Verdict verdict = history::Evaluate(watched, read ? known : std::vector<history::DatabaseSummary>{}, now);

    std::vector<HistoryLine> lines;
    for (const history::DatabaseVerdict& entry : verdict.databases) {
        QString next;
        for (const Listed& candidate : listed) {
            if (candidate.watched.database == entry.watched.database && candidate.watched.server == entry.watched.server) {
                next = candidate.nextStart;
                break;
            }
        }
        lines.push_back({entry, next});
    }
    m_databases->setLines(std::move(lines), now);

    const QString file = QString::fromStdString(m_reader.path());
    if (!read)
        m_state->setText(QStringLiteral("No run history to show: %1").arg(error));
    else if (verdict.databases.empty())
        m_state->setText(QStringLiteral("No database is listed. History file: %1").arg(file));
    else
        m_state->setText(QStringLiteral("%1 ok, %2 failed, %3 overdue. History file: %4")
                             .arg(verdict.ok)
                             .arg(verdict.failed)
                             .arg(verdict.overdue)
                             .arg(file));

    int row = m_databases->rowOf(selectedDatabase, selectedServer);
    if (row < 0 && m_databases->rowCount() > 0)
        row = 0;
    selectDatabase(row);
}

void HistoryWindow::selectDatabase(int row)
{
    if (row < 0 || row >= m_databases->rowCount()) {
        showRuns(-1);
        return;
    }
    const QModelIndex index = m_databases->index(row, 0);
    if (m_databaseView->currentIndex().row() == row)
        showRuns(row); // the same row after a refresh: read its runs again
    m_databaseView->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void HistoryWindow::showRuns(int row)
{
    const HistoryLine* line = m_databases->line(row);
    if (!line) {
        m_runs->setRuns({});
        drawChart(QStringLiteral("Select a database to see its runs"));
        return;
    }
    const history::WatchedDatabase& watched = line->verdict.watched;
    std::vector<history::RunRecord> runs;
    QString error;
    if (!m_reader.runs(watched.database, watched.server, kRunsShown, runs, error))
        runs.clear();
    m_runs->setRuns(std::move(runs));
    drawChart(QStringLiteral("%1 on %2").arg(QString::fromStdString(watched.database),
                                              QString::fromStdString(watched.server)));
}

void HistoryWindow::drawChart(const QString& title)
{
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));

    const std::vector<history::RunRecord>& runs = m_runs->runs();
    history::Millis first = 0;
    history::Millis last = 0;
    double largestSize = 0;
    double longest = 0;
    for (const history::RunRecord& run : runs) {
        if (run.running)
            continue;
        first = first == 0 ? run.startedAt : std::min(first, run.startedAt);
        last = std::max(last, run.startedAt);
        largestSize = std::max(largestSize, static_cast<double>(run.backupBytes));
        if (run.duration())
            longest = std::max(longest, static_cast<double>(*run.duration()));
    }
    // Units that keep the axis numbers short.
    const bool gigabytes = largestSize >= 2e9;
    const double sizeUnit = gigabytes ? 1e9 : 1e6;
    const bool minutes = longest >= 120'000;
    const double timeUnit = minutes ? 60'000 : 1'000;

    auto* size = new QLineSeries;
    size->setName(gigabytes ? QStringLiteral("Backup size (GB)") : QStringLiteral("Backup size (MB)"));
    size->setPointsVisible(true);
    auto* duration = new QLineSeries;
    duration->setName(minutes ? QStringLiteral("Duration (min)") : QStringLiteral("Duration (s)"));
    duration->setPointsVisible(true);
    auto* failed = new QScatterSeries;
    failed->setName(QStringLiteral("Failed"));
    failed->setColor(QColor(200, 30, 45));
    failed->setMarkerSize(9);
    // Oldest first, as time runs along the axis.
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
        const history::RunRecord& run = *it;
        const auto x = static_cast<qreal>(run.startedAt);
        if (run.outcome == history::Outcome::Completed) {
            size->append(x, static_cast<double>(run.backupBytes) / sizeUnit);
            if (run.duration())
                duration->append(x, static_cast<double>(*run.duration()) / timeUnit);
        } else if (run.outcome == history::Outcome::Failed) {
            failed->append(x, run.duration() ? static_cast<double>(*run.duration()) / timeUnit : 0.0);
        }
    }
    chart->addSeries(size);
    chart->addSeries(duration);
    chart->addSeries(failed);

    auto* time = new QDateTimeAxis;
    const history::Millis span = last - first;
    time->setFormat(span > 2LL * 24 * 3600 * 1000 ? QStringLiteral("d MMM") : QStringLiteral("d MMM hh:mm"));
    // A single run, or none, still gets a readable span around it.
    const history::Millis pad = std::max<history::Millis>(span / 20, 30 * 60 * 1000);
    const history::Millis middle = first == 0 ? m_now() : first;
    time->setRange(QDateTime::fromMSecsSinceEpoch(first == 0 ? middle - pad : first - pad),
                   QDateTime::fromMSecsSinceEpoch(first == 0 ? middle + pad : last + pad));
    time->setTickCount(6);
    chart->addAxis(time, Qt::AlignBottom);
    auto* sizeAxis = new QValueAxis;
    sizeAxis->setTitleText(gigabytes ? QStringLiteral("GB") : QStringLiteral("MB"));
    sizeAxis->setLabelFormat(QStringLiteral("%.1f"));
    sizeAxis->setRange(0, std::max(1.0, largestSize / sizeUnit * 1.1));
    sizeAxis->applyNiceNumbers();
    chart->addAxis(sizeAxis, Qt::AlignLeft);
    auto* timeAxis = new QValueAxis;
    timeAxis->setTitleText(minutes ? QStringLiteral("min") : QStringLiteral("s"));
    timeAxis->setLabelFormat(QStringLiteral("%.0f"));
    timeAxis->setRange(0, std::max(1.0, longest / timeUnit * 1.1));
    timeAxis->applyNiceNumbers();
    chart->addAxis(timeAxis, Qt::AlignRight);
    for (QAbstractSeries* series : {static_cast<QAbstractSeries*>(size), static_cast<QAbstractSeries*>(duration),
                                    static_cast<QAbstractSeries*>(failed)})
        series->attachAxis(time);
    size->attachAxis(sizeAxis);
    duration->attachAxis(timeAxis);
    failed->attachAxis(timeAxis);

    QChart* previous = m_chartView->chart();
    m_chartView->setChart(chart);
    delete previous;
}

} // namespace ui
