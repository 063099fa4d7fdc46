#pragma once

#include <string>
#include <vector>

namespace db {

// One value of a result row: its text (UTF-8), or a status word when the
// value could not be converted; isNull is set only for a database NULL.
struct ResultCell {
    bool isNull = false;
    std::string text;
};

// The cells of one result row, in column order.
class ResultRow {
public:
    virtual ~ResultRow() = default;
    void AddCell(bool isNull, std::string text) { m_cells.push_back({isNull, std::move(text)}); }
    void Clear() { m_cells.clear(); }
    const std::vector<ResultCell>& cells() const { return m_cells; }

private:
    std::vector<ResultCell> m_cells;
};

// The rows a command returned, as text: a header with the column names and
// one row per fetched row, in fetch order. Plain data, owned by the caller
// of ExecuteCommand; not thread-safe.
class ResultTable {
public:
    virtual ~ResultTable() = default;
    void Clear()
    {
        m_rows.clear();
        m_header.Clear();
    }
    void AddHeaderCell(bool isNull, std::string text) { m_header.AddCell(isNull, std::move(text)); }
    void AddRow(const ResultRow& row) { m_rows.push_back(row); }

    const ResultRow& header() const { return m_header; }
    const std::vector<ResultRow>& rows() const { return m_rows; }

private:
    std::vector<ResultRow> m_rows;
    ResultRow m_header;
};

} // namespace db
