#pragma once

// Content that compresses like the data file part of a real full backup:
// 8 KiB pages with a 96-byte header, rows that grow from the front and a slot
// array that grows from the back, of the kinds a busy line-of-business
// database holds.
//
// - Clustered tables (the most pages): ascending integer keys, dates that
//   move slowly, foreign keys and prices from small sets, quantities that are
//   mostly 1, UTF-16 names, addresses and XML survey texts, and in most
//   tables a random 16-byte row GUID. Pages are 70-100 % full.
// - Nonclustered indexes, leaf and upper levels: sorted keys with row
//   locators or child page numbers, 50-100 % full after page splits; the
//   free space is zeros or the stale rows a split left behind.
// - Long text (descriptions and documents in several languages), and a few
//   pages of photos, which are already compressed and so random.
// - Allocation pages (PFS byte maps, GAM/SGAM/IAM bitmaps) where a data file
//   has them, and pages that were allocated but never written (zeros).
//
// Objects own runs of 64 KiB extents, several runs interleaved, as objects
// that grew at the same time leave them. Every page is a pure function of
// the seed and its page number, so any range can be written on its own.
// deflate -6 leaves about 15 % of it.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace dbpages {

inline constexpr std::size_t kPageSize = 8192;
inline constexpr std::size_t kHeaderSize = 96;
inline constexpr std::uint64_t kPagesPerPfs = 8088;

class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
    bool chance(std::uint32_t percent) { return below(100) < percent; }
    template <typename T, std::size_t N>
    const T& pick(const T (&items)[N]) { return items[below(N)]; }

private:
    std::uint64_t m_state;
};

inline std::uint64_t mix(std::uint64_t a, std::uint64_t b)
{
    return Random(a * 0x100000001B3ull ^ b).next();
}

namespace words {
inline constexpr const char* kFirst[] = {
    "James", "Mary", "John", "Patricia", "Robert", "Jennifer", "Michael", "Linda", "William", "Elizabeth",
    "David", "Barbara", "Richard", "Susan", "Joseph", "Jessica", "Thomas", "Sarah", "Charles", "Karen",
    "Christopher", "Nancy", "Daniel", "Lisa", "Matthew", "Betty", "Anthony", "Margaret", "Mark", "Sandra",
    "Donald", "Ashley", "Steven", "Kimberly", "Paul", "Emily", "Andrew", "Donna", "Joshua", "Michelle",
    "Kenneth", "Dorothy", "Kevin", "Carol", "Brian", "Amanda", "George", "Melissa", "Edward", "Deborah",
    "Ronald", "Stephanie", "Timothy", "Rebecca", "Jason", "Sharon", "Jeffrey", "Laura", "Ryan", "Cynthia",
    "Jacob", "Kathleen", "Gary", "Amy", "Nicholas", "Shirley", "Eric", "Angela", "Jonathan", "Helen"};
inline constexpr const char* kLast[] = {
    "Smith", "Johnson", "Williams", "Brown", "Jones", "Garcia", "Miller", "Davis", "Rodriguez", "Martinez",
    "Hernandez", "Lopez", "Gonzalez", "Wilson", "Anderson", "Thomas", "Taylor", "Moore", "Jackson", "Martin",
    "Lee", "Perez", "Thompson", "White", "Harris", "Sanchez", "Clark", "Ramirez", "Lewis", "Robinson",
    "Walker", "Young", "Allen", "King", "Wright", "Scott", "Torres", "Nguyen", "Hill", "Flores",
    "Green", "Adams", "Nelson", "Baker", "Hall", "Rivera", "Campbell", "Mitchell", "Carter", "Roberts",
    "Gomez", "Phillips", "Evans", "Turner", "Diaz", "Parker", "Cruz", "Edwards", "Collins", "Reyes",
    "Stewart", "Morris", "Morales", "Murphy", "Cook", "Rogers", "Gutierrez", "Ortiz", "Morgan", "Cooper",
    "Peterson", "Bailey", "Reed", "Kelly", "Howard", "Ramos", "Kim", "Cox", "Ward", "Richardson"};
inline constexpr const char* kCities[] = {
    "Bothell", "Redmond", "Seattle", "Everett", "Renton", "Portland", "Salem", "Burien", "Bellingham",
    "Lebanon", "Beaverton", "Oregon City", "Concord", "Berkeley", "Burlingame", "Colma", "Daly City",
    "Los Angeles", "San Diego", "Santa Monica", "Torrance", "Victoria", "Vancouver", "Langley", "Calgary",
    "London", "Paris", "Berlin", "Hamburg", "Frankfurt", "Lyon", "Melbourne", "Sydney", "Brisbane",
    "Toronto", "Ottawa", "Montreal", "Lisbon", "Madrid", "Milan"};
inline constexpr const char* kStreets[] = {
    "Yosemite", "Oak", "Elm", "Maple", "Cedar", "Pine", "Lake", "Hill", "Sunset", "Mt. Hood", "Glenside",
    "Hillview", "Valley View", "Clearview", "Eastgate", "Westbury", "Northridge", "Southview", "Riverside",
    "Pinecrest", "Woodcrest", "Highland", "Meadow", "Lancaster", "Chestnut", "Willow", "Bayview", "Park",
    "Orchard", "Vista", "Mission", "Creekside", "Alpine", "Harbor", "Canyon", "Ridgewood"};
inline constexpr const char* kStreetTypes[] = {"Ct.", "Dr.", "Ave.", "St.", "Way", "Lane", "Blvd.", "Circle",
                                               "Place", "Road"};
inline constexpr const char* kProducts[] = {
    "Mountain-100 Black, 42", "Mountain-200 Silver, 38", "Road-150 Red, 62", "Road-250 Black, 48",
    "Touring-1000 Blue, 46", "Sport-100 Helmet, Red", "Long-Sleeve Logo Jersey, L", "Mountain Bike Socks, M",
    "AWC Logo Cap", "Water Bottle - 30 oz.", "Patch Kit/8 Patches", "Road Tire Tube", "HL Road Frame - Red, 58",
    "Classic Vest, S", "Half-Finger Gloves, M", "Hydration Pack - 70 oz.", "Fender Set - Mountain",
    "LL Mountain Seat Assembly", "ML Road Pedal", "Bike Wash - Dissolver", "Cable Lock", "Minipump",
    "Women's Tights, S", "Racing Socks, L", "Short-Sleeve Classic Jersey, XL", "Headset Ball Bearings"};
inline constexpr const char* kSentences[] = {
    "Our top-of-the-line competition mountain bike. ",
    "Performance-enhancing options include the innovative HL Frame, super-smooth front suspension, and "
    "traction for all terrain. ",
    "Suitable for any type of riding, on or off-road. ",
    "Fits any budget. Smooth-shifting with a comfortable ride. ",
    "This bike is ridden by race winners. Developed with the team, it has a lightweight frame. ",
    "Entry level adult bike; offers a comfortable ride cross-country or down the block. ",
    "Quick-release hubs and rims. ",
    "The product was returned because of a defect in the rear derailleur. ",
    "Customer asked for delivery before the end of the month; shipment confirmed by phone. ",
    "Please contact the sales representative for volume discounts. ",
    "Unidad de alto rendimiento con cuadro de aluminio ligero. ",
    "Livraison gratuite pour toute commande sup\xC3\xA9rieure \xC3\xA0 cent euros. ",
    "Leichter Rahmen aus Aluminium mit hervorragender Federung. ",
    "Wear-resistant, maintenance-free chain for long rides. ",
    "Invoice sent to accounts payable; payment terms net 30 days. ",
    "Credit limit reviewed annually by the finance department. "};
inline constexpr const char* kWords[] = {
    "the", "of", "and", "to", "a", "in", "for", "is", "on", "that", "by", "this", "with", "you", "it", "not",
    "or", "be", "are", "from", "at", "as", "your", "all", "have", "new", "more", "an", "was", "we", "will",
    "can", "us", "about", "if", "my", "has", "but", "our", "one", "other", "do", "no", "information", "time",
    "they", "site", "he", "up", "may", "what", "which", "their", "news", "out", "use", "any", "there", "see",
    "only", "so", "his", "when", "contact", "here", "business", "who", "also", "now", "help", "get", "view",
    "online", "first", "been", "would", "how", "were", "me", "services", "some", "these", "click", "its",
    "like", "service", "than", "find", "price", "date", "back", "top", "people", "had", "list", "name",
    "just", "over", "state", "year", "day", "into", "email", "two", "health", "world", "next", "used", "go",
    "work", "last", "most", "products", "music", "buy", "data", "make", "them", "should", "product",
    "system", "post", "her", "city", "add", "policy", "number", "such", "please", "available", "copyright",
    "support", "message", "after", "best", "software", "then", "jan", "good", "video", "well", "where",
    "info", "rights", "public", "books", "high", "school", "through", "each", "links", "she", "review",
    "years", "order", "very", "privacy", "book", "items", "company", "read", "group", "need", "many",
    "user", "said", "does", "set", "under", "general", "research", "university", "january", "mail", "full",
    "map", "reviews", "program", "life", "know", "games", "way", "days", "management", "part", "could",
    "great", "united", "hotel", "real", "item", "international", "center", "ebay", "must", "store",
    "travel", "comments", "made", "development", "report", "off", "member", "details", "line", "terms",
    "before", "hotels", "did", "send", "right", "type", "because", "local", "those", "using", "results",
    "office", "education", "national", "car", "design", "take", "posted", "internet", "address",
    "community", "within", "states", "area", "want", "phone", "shipping", "reserved", "subject",
    "between", "forum", "family", "long", "based", "code", "show", "even", "black", "check", "special",
    "prices", "website", "index", "being", "women", "much", "sign", "file", "link", "open", "today",
    "technology", "south", "case", "project", "same", "pages", "version", "section", "own", "found",
    "sports", "house", "related", "security", "both", "county", "american", "photo", "game", "members",
    "power", "while", "care", "network", "down", "computer", "systems", "three", "total", "place", "end",
    "following", "download", "him", "without", "per", "access", "think", "north", "resources", "current",
    "posts", "big", "media", "law", "control", "water", "history", "pictures", "size", "art", "personal",
    "since", "including", "guide", "shop", "directory", "board", "location", "change", "white", "text",
    "small", "rating", "rate", "government", "children", "during", "return", "students", "shopping",
    "account", "times", "sites", "level", "digital", "profile", "previous", "form", "events", "love",
    "old", "john", "main", "call", "hours", "image", "department", "title", "description", "non",
    "insurance", "another", "why", "shall", "property", "class", "still", "money", "quality", "every",
    "listing", "content", "country", "private", "little", "visit", "save", "tools", "low", "reply",
    "customer", "december", "compare", "movies", "include", "college", "value", "article", "york",
    "man", "card", "jobs", "provide", "food", "source", "author", "different", "press", "learn", "sale",
    "around", "print", "course", "job", "canada", "process", "teen", "room", "stock", "training", "too",
    "credit", "point", "join", "science", "men", "categories", "advanced", "west", "sales", "look",
    "english", "left", "team", "estate", "box", "conditions", "select", "windows", "photos", "gay",
    "thread", "week", "category", "note", "live", "large", "gallery", "table", "register", "however",
    "june", "october", "november", "market", "library", "really", "action", "start", "series", "model",
    "features", "air", "industry", "plan", "human", "provided", "yes", "required", "second", "hot",
    "accessories", "cost", "movie", "forums", "march", "la", "september", "better", "say", "questions",
    "july", "yahoo", "going", "medical", "test", "friend", "come", "dec", "server", "study", "application",
    "cart", "staff", "articles", "san", "feedback", "again", "play", "looking", "issues", "april", "never",
    "users", "complete", "street", "topic", "comment", "financial", "things", "working", "against",
    "standard", "tax", "person", "below", "mobile", "less", "got", "blog", "party", "payment", "equipment"};
inline constexpr const char* kIncome[] = {"0-25000", "25001-50000", "50001-75000", "75001-100000",
                                          "greater than 100000"};
inline constexpr const char* kEducation[] = {"Bachelors ", "Graduate Degree", "High School", "Partial College",
                                             "Partial High School"};
inline constexpr const char* kOccupation[] = {"Professional", "Management", "Skilled Manual", "Clerical",
                                              "Manual"};
inline constexpr const char* kCommute[] = {"0-1 Miles", "1-2 Miles", "2-5 Miles", "5-10 Miles", "10+ Miles"};
inline constexpr const char* kDomains[] = {"adventure-works.com", "example.com", "contoso.com", "fabrikam.com"};
} // namespace words

// A page being filled: rows from the front, slot offsets from the back.
class PageWriter {
public:
    explicit PageWriter(std::uint8_t* page) : m_page(page) { std::memset(page, 0, kPageSize); }

    std::uint8_t* page() { return m_page; }
    std::size_t rows() const { return m_rows; }
    std::size_t freeBytes() const { return kPageSize - m_end - 2 * m_rows; }

    // Starts a row; the caller appends bytes and then calls endRow() or
    // dropRow() when the row does not fit in `limit` bytes of the page.
    void beginRow() { m_rowStart = m_cursor = m_end; }
    bool fits(std::size_t n, std::size_t limit) const { return m_cursor + n + 2 * (m_rows + 1) <= limit; }
    void put(const void* data, std::size_t n)
    {
        std::memcpy(m_page + m_cursor, data, n);
        m_cursor += n;
    }
    template <typename T>
    void putValue(T value) { put(&value, sizeof value); }
    void putUtf16(std::string_view text)
    {
        for (unsigned char c : text) {
            m_page[m_cursor++] = c;
            m_page[m_cursor++] = 0;
        }
    }
    std::size_t cursor() const { return m_cursor; }
    void patch16(std::size_t at, std::uint16_t value) { std::memcpy(m_page + at, &value, 2); }
    void endRow()
    {
        const auto offset = static_cast<std::uint16_t>(m_rowStart);
        std::memcpy(m_page + kPageSize - 2 * (m_rows + 1), &offset, 2);
        ++m_rows;
        m_end = m_cursor;
    }
    void dropRow() { std::memset(m_page + m_rowStart, 0, m_cursor - m_rowStart); m_cursor = m_end; }
    std::size_t end() const { return m_end; }

private:
    std::uint8_t* m_page;
    std::size_t m_end = kHeaderSize;
    std::size_t m_rowStart = kHeaderSize;
    std::size_t m_cursor = kHeaderSize;
    std::size_t m_rows = 0;
};

// The parts of a row in the fixed-var record format: status bytes, fixed
// columns, column count and null bitmap, then variable columns behind their
// end offsets. Each variable column is a string of bytes; empty means NULL.
struct RowBuilder {
    std::uint8_t fixed[160];
    std::size_t fixedLength = 0;
    std::string vars[8];
    std::size_t varCount = 0;
    std::uint16_t columns = 0;
    std::uint8_t status = 0x30;

    template <typename T>
    void fix(T value)
    {
        fixBytes(reinterpret_cast<const std::uint8_t*>(&value), sizeof value);
    }
    void fixBytes(const std::uint8_t* data, std::size_t n)
    {
        if (fixedLength + n > sizeof fixed)
            std::abort(); // a table with more fixed columns than this row holds
        std::memcpy(fixed + fixedLength, data, n);
        fixedLength += n;
    }
    void var(std::string bytes) { vars[varCount++] = std::move(bytes); }
    void clear()
    {
        fixedLength = 0;
        varCount = 0;
        columns = 0;
        status = 0x30;
    }

    std::size_t size() const
    {
        std::size_t n = 4 + fixedLength + 2 + (columns + 7u) / 8;
        if (varCount > 0) {
            n += 2 + 2 * varCount;
            for (std::size_t i = 0; i < varCount; ++i)
                n += vars[i].size();
        }
        return n;
    }

    // Appends the row unless it would pass `limit`; true when it was written.
    bool writeTo(PageWriter& page, std::size_t limit) const
    {
        const std::size_t n = size();
        if (!page.fits(n, limit))
            return false;
        page.beginRow();
        std::uint8_t head[4] = {varCount > 0 ? status : static_cast<std::uint8_t>(status & ~0x20), 0,
                                static_cast<std::uint8_t>(4 + fixedLength), static_cast<std::uint8_t>((4 + fixedLength) >> 8)};
        page.put(head, 4);
        page.put(fixed, fixedLength);
        page.putValue<std::uint16_t>(columns);
        std::uint8_t nulls[4] = {};
        for (std::size_t i = 0; i < varCount; ++i)
            if (vars[i].empty())
                nulls[(columns - varCount + i) / 8] |= static_cast<std::uint8_t>(1u << ((columns - varCount + i) % 8));
        page.put(nulls, (columns + 7u) / 8);
        if (varCount > 0) {
            page.putValue<std::uint16_t>(static_cast<std::uint16_t>(varCount));
            std::size_t end = 4 + fixedLength + 2 + (columns + 7u) / 8 + 2 + 2 * varCount;
            for (std::size_t i = 0; i < varCount; ++i) {
                end += vars[i].size();
                page.putValue<std::uint16_t>(static_cast<std::uint16_t>(end));
            }
            for (std::size_t i = 0; i < varCount; ++i)
                page.put(vars[i].data(), vars[i].size());
        }
        page.endRow();
        return true;
    }
};

inline std::string utf16(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

// datetime: days since 1900 and 1/300 s ticks since midnight.
inline std::uint64_t datetime(std::uint32_t day, std::uint32_t ticks)
{
    return static_cast<std::uint64_t>(day) << 32 | ticks;
}

inline void randomBytes(Random& rnd, std::uint8_t* out, std::size_t n)
{
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t v = rnd.next();
        std::memcpy(out + i, &v, std::min<std::size_t>(8, n - i));
    }
}

enum class Object : std::uint8_t {
    OrderLines,      // order detail rows with a row GUID
    Transactions,    // narrow history rows
    People,          // names and an XML survey per person
    Addresses,       // street lines, cities, a spatial point
    Orders,          // order headers: dates, totals, account numbers, GUID
    NameIndex,       // nonclustered index on last and first name
    ProductIndex,    // nonclustered index on product and date
    GuidIndex,       // unique index on the row GUIDs
    UpperLevels,     // non-leaf index pages
    Documents,       // long text
    Photos,          // compressed images
    Unused,          // allocated, never written
};

struct Weighted {
    Object object;
    std::uint32_t weight;
};

inline constexpr Weighted kObjects[] = {
    {Object::OrderLines, 24}, {Object::Transactions, 18}, {Object::People, 10},      {Object::Addresses, 3},
    {Object::Orders, 8},      {Object::NameIndex, 5},     {Object::ProductIndex, 7}, {Object::GuidIndex, 2},
    {Object::UpperLevels, 2}, {Object::Documents, 6},     {Object::Photos, 1},       {Object::Unused, 12},
};

inline constexpr std::uint32_t totalWeight()
{
    std::uint32_t total = 0;
    for (const Weighted& w : kObjects)
        total += w.weight;
    return total;
}

// The object that holds share `at` (0 to totalWeight() - 1) of the pages.
inline Object objectAt(std::uint32_t at)
{
    for (const Weighted& w : kObjects) {
        if (at < w.weight)
            return w.object;
        at -= w.weight;
    }
    return Object::Unused;
}

// Runs of two extents belong to one object. A 1 MiB region mostly grows one
// object, with other objects' runs between; the regions' objects cycle
// through the weights in a scattered order, so that every 100 MiB or so
// holds each object in its share.
inline Object objectOfPage(std::uint64_t seed, std::uint64_t page)
{
    const std::uint64_t region = page / 128;
    const Object main = objectAt(static_cast<std::uint32_t>((region * 37 + seed) % totalWeight()));
    Random runRnd(mix(seed ^ 0x5bd1e995, page / 16));
    return runRnd.chance(65) ? main : objectAt(runRnd.below(totalWeight()));
}

inline void writeHeader(std::uint8_t* page, std::uint8_t type, std::uint8_t level, std::uint16_t indexId,
                        std::uint32_t objectId, std::uint64_t pageNumber, Random& rnd, std::uint16_t rows,
                        std::uint16_t freeData)
{
    page[0] = 1;
    page[1] = type;
    page[3] = level;
    const std::uint16_t flags = 0x0200; // page checksum present
    std::memcpy(page + 4, &flags, 2);
    std::memcpy(page + 6, &indexId, 2);
    const std::uint32_t prev = static_cast<std::uint32_t>(pageNumber - 1), next = static_cast<std::uint32_t>(pageNumber + 1);
    const std::uint16_t file = 1;
    std::memcpy(page + 8, &prev, 4);
    std::memcpy(page + 12, &file, 2);
    std::memcpy(page + 16, &next, 4);
    std::memcpy(page + 20, &file, 2);
    std::memcpy(page + 22, &rows, 2);
    std::memcpy(page + 24, &objectId, 4);
    const auto freeCount = static_cast<std::uint16_t>(kPageSize - freeData - 2u * rows);
    std::memcpy(page + 28, &freeCount, 2);
    std::memcpy(page + 30, &freeData, 2);
    const auto id = static_cast<std::uint32_t>(pageNumber);
    std::memcpy(page + 32, &id, 4);
    std::memcpy(page + 36, &file, 2);
    // Log sequence number of the last change, then the checksum.
    const std::uint32_t lsnFile = 40 + rnd.below(200), lsnOffset = rnd.below(1u << 20);
    const std::uint16_t lsnSlot = static_cast<std::uint16_t>(rnd.below(400));
    std::memcpy(page + 40, &lsnFile, 4);
    std::memcpy(page + 44, &lsnOffset, 4);
    std::memcpy(page + 48, &lsnSlot, 2);
    const auto checksum = static_cast<std::uint32_t>(rnd.next());
    std::memcpy(page + 60, &checksum, 4);
}

// Fills a page with rows from `makeRow(index, builder)` up to `fillPercent`
// of the page; the free space is zeros, or stale bytes of earlier rows.
template <typename MakeRow>
void fillRows(std::uint8_t* out, std::uint8_t type, std::uint8_t level, std::uint16_t indexId, std::uint32_t objectId,
              std::uint64_t pageNumber, Random& rnd, unsigned fillPercent, bool staleFreeSpace, MakeRow makeRow)
{
    PageWriter page(out);
    const std::size_t limit = kHeaderSize + (kPageSize - kHeaderSize) * fillPercent / 100;
    RowBuilder row;
    for (std::uint32_t i = 0;; ++i) {
        row.clear();
        makeRow(i, row);
        if (!row.writeTo(page, limit))
            break;
    }
    const std::size_t used = page.end();
    const std::size_t slots = kPageSize - 2 * page.rows();
    if (staleFreeSpace && used > kHeaderSize)
        for (std::size_t at = used; at < slots; ++at)
            out[at] = out[kHeaderSize + (at - used) % (used - kHeaderSize)];
    writeHeader(out, type, level, indexId, objectId, pageNumber, rnd, static_cast<std::uint16_t>(page.rows()),
                static_cast<std::uint16_t>(used));
}

inline std::string surveyXml(Random& rnd)
{
    char text[900];
    const int n = std::snprintf(
        text, sizeof text,
        "<IndividualSurvey xmlns=\"http://schemas.example.com/sales/2004/07/IndividualSurvey\">"
        "<TotalPurchaseYTD>%u.%02u</TotalPurchaseYTD><DateFirstPurchase>20%02u-%02u-%02uZ</DateFirstPurchase>"
        "<BirthDate>19%02u-%02u-%02uZ</BirthDate><MaritalStatus>%s</MaritalStatus><YearlyIncome>%s</YearlyIncome>"
        "<Gender>%s</Gender><TotalChildren>%u</TotalChildren><NumberChildrenAtHome>%u</NumberChildrenAtHome>"
        "<Education>%s</Education><Occupation>%s</Occupation><HomeOwnerFlag>%u</HomeOwnerFlag>"
        "<NumberCarsOwned>%u</NumberCarsOwned><CommuteDistance>%s</CommuteDistance></IndividualSurvey>",
        rnd.below(12000), rnd.below(100), 1 + rnd.below(24), 1 + rnd.below(12), 1 + rnd.below(28), 40 + rnd.below(50),
        1 + rnd.below(12), 1 + rnd.below(28), rnd.chance(50) ? "M" : "S", rnd.pick(words::kIncome),
        rnd.chance(50) ? "M" : "F", rnd.below(6), rnd.below(4), rnd.pick(words::kEducation),
        rnd.pick(words::kOccupation), rnd.below(2), rnd.below(5), rnd.pick(words::kCommute));
    return utf16(std::string_view(text, static_cast<std::size_t>(n)));
}

inline void guid(Random& rnd, RowBuilder& row)
{
    std::uint8_t g[16];
    randomBytes(rnd, g, 16);
    g[7] = static_cast<std::uint8_t>((g[7] & 0x0F) | 0x40);
    row.fixBytes(g, 16);
}

// The money type: an integer count of 1/10000.
inline std::int64_t money(std::uint32_t cents) { return static_cast<std::int64_t>(cents) * 100; }

inline std::uint32_t priceOf(std::uint32_t product)
{
    static constexpr std::uint32_t kPrices[] = {339999, 2024994, 78299, 4999, 249900, 3499, 899, 5499, 2024,
                                                 1499,   2199,    2499,  159, 6390,   14267, 53999, 1199, 2289};
    return kPrices[product % (sizeof kPrices / sizeof kPrices[0])];
}

// Most pages of a clustered table are filled in key order and full; one in
// five was split and holds about half.
inline unsigned clusteredFill(Random& rnd)
{
    return rnd.chance(20) ? 50 + rnd.below(30) : 90 + rnd.below(11);
}

inline void fillPage(std::uint64_t seed, std::uint64_t pageNumber, std::uint8_t* out)
{
    Random rnd(mix(seed, pageNumber));
    // Allocation pages sit at fixed places of every data file.
    if (pageNumber % kPagesPerPfs == 1) {
        std::memset(out, 0, kPageSize);
        std::uint8_t* map = out + kHeaderSize + 4;
        for (std::size_t i = 0; i < kPagesPerPfs;) {
            static constexpr std::uint8_t kStates[] = {0x40, 0x40, 0x60, 0x60, 0x44, 0x41, 0x42, 0x43, 0x64, 0x70, 0x00};
            const std::uint8_t state = rnd.pick(kStates);
            const std::size_t run = std::min<std::size_t>(kPagesPerPfs - i, 1 + rnd.below(24));
            std::memset(map + i, state, run);
            i += run;
        }
        writeHeader(out, 11, 0, 0, 99, pageNumber, rnd, 1, static_cast<std::uint16_t>(kHeaderSize + 4 + kPagesPerPfs));
        return;
    }
    if (pageNumber % 511232 == 2 || pageNumber % 511232 == 3 || (pageNumber % 2003 == 17)) {
        // GAM, SGAM or an IAM: one bit per extent, long runs.
        std::memset(out, 0, kPageSize);
        std::uint8_t* map = out + kHeaderSize + 98;
        for (std::size_t i = 0; i < 7988;) {
            const std::size_t run = std::min<std::size_t>(7988 - i, 1 + rnd.below(400));
            std::memset(map + i, rnd.chance(60) ? 0x00 : 0xFF, run);
            if (rnd.chance(30))
                map[i] = static_cast<std::uint8_t>(rnd.next());
            i += run;
        }
        writeHeader(out, pageNumber % 511232 == 3 ? 9 : (pageNumber % 511232 == 2 ? 8 : 10), 0, 0, 99, pageNumber, rnd,
                    2, static_cast<std::uint16_t>(kPageSize - 2));
        return;
    }

    const Object object = objectOfPage(seed, pageNumber);
    const auto objectId = static_cast<std::uint32_t>(static_cast<std::uint32_t>(object) * 7919u + 72057594u);
    // Pages of an object near each other hold neighbouring keys.
    const std::uint64_t key = pageNumber * 60;
    const std::uint32_t day = static_cast<std::uint32_t>(38000 + pageNumber / 4000);
    const bool stale = rnd.chance(25);
    switch (object) {
    case Object::OrderLines: {
        std::uint32_t order = static_cast<std::uint32_t>(43659 + key / 4);
        std::uint32_t line = static_cast<std::uint32_t>(key);
        std::uint32_t linesLeft = 1 + rnd.below(8);
        std::string tracking = rnd.chance(50) ? std::string() : utf16("4E0A-4F89-AE");
        fillRows(out, 1, 0, 1, objectId, pageNumber, rnd, clusteredFill(rnd), false, [&](std::uint32_t, RowBuilder& r) {
            if (--linesLeft == 0) {
                ++order;
                linesLeft = 1 + rnd.below(8);
                if (!tracking.empty()) {
                    char t[16];
                    std::snprintf(t, sizeof t, "%04X-%04X-%02X", rnd.below(65536), rnd.below(65536), rnd.below(256));
                    tracking = utf16(t);
                }
            }
            const std::uint32_t product = 707 + rnd.below(40);
            r.fix(order);
            r.fix(line++);
            r.fix(static_cast<std::int16_t>(rnd.chance(70) ? 1 : 1 + rnd.below(6)));
            r.fix(product);
            r.fix(static_cast<std::uint32_t>(rnd.chance(90) ? 1 : 2 + rnd.below(4)));
            r.fix(money(priceOf(product)));
            r.fix(money(0));
            r.fix(money(priceOf(product)));
            r.fix(datetime(day, 0));
            r.columns = 11;
            r.var(tracking);
        });
        break;
    }
    case Object::Transactions: {
        std::uint32_t id = static_cast<std::uint32_t>(100000 + key);
        fillRows(out, 1, 0, 1, objectId, pageNumber, rnd, clusteredFill(rnd), false, [&](std::uint32_t, RowBuilder& r) {
            const std::uint32_t product = 700 + rnd.below(300);
            r.fix(id++);
            r.fix(product);
            r.fix(static_cast<std::uint32_t>(41590 + (id - 100000) / 3));
            r.fix(static_cast<std::uint32_t>(rnd.chance(60) ? 0 : 1 + rnd.below(5)));
            r.fix(datetime(day, 0));
            r.fix(static_cast<std::uint16_t>("SWP"[rnd.below(3)]));
            r.fix(static_cast<std::uint32_t>(rnd.chance(75) ? 1 : 1 + rnd.below(40)));
            r.fix(money(rnd.chance(50) ? 0 : priceOf(product)));
            r.fix(datetime(day, 0));
            r.columns = 9;
        });
        break;
    }
    case Object::People: {
        std::uint32_t id = static_cast<std::uint32_t>(1 + key / 10);
        fillRows(out, 1, 0, 1, objectId, pageNumber, rnd, clusteredFill(rnd), stale, [&](std::uint32_t, RowBuilder& r) {
            r.fix(id++);
            r.fix(static_cast<std::uint32_t>(rnd.chance(90) ? 0x4E0049 : 0x430053)); // "IN" or "SC"
            r.fix(static_cast<std::uint8_t>(0));
            r.fix(static_cast<std::uint32_t>(rnd.below(3)));
            guid(rnd, r);
            r.fix(datetime(day - rnd.below(900), 0));
            r.columns = 12;
            const char* first = rnd.pick(words::kFirst);
            const char* last = rnd.pick(words::kLast);
            r.var(rnd.chance(10) ? utf16(rnd.chance(50) ? "Mr." : "Ms.") : std::string());
            r.var(utf16(first));
            r.var(rnd.chance(50) ? utf16(std::string(1, static_cast<char>('A' + rnd.below(26)))) : std::string());
            r.var(utf16(last));
            r.var(std::string());
            r.var(surveyXml(rnd));
        });
        break;
    }
    case Object::Addresses: {
        std::uint32_t id = static_cast<std::uint32_t>(1 + key / 4);
        fillRows(out, 1, 0, 1, objectId, pageNumber, rnd, clusteredFill(rnd), false, [&](std::uint32_t, RowBuilder& r) {
            r.fix(id++);
            r.fix(static_cast<std::uint32_t>(1 + rnd.below(80)));
            guid(rnd, r);
            r.fix(datetime(day - rnd.below(2000), 0));
            r.columns = 9;
            char line[64];
            std::snprintf(line, sizeof line, "%u %s %s", 1 + rnd.below(9999), rnd.pick(words::kStreets),
                          rnd.pick(words::kStreetTypes));
            r.var(utf16(line));
            r.var(rnd.chance(10) ? utf16("# " + std::to_string(rnd.below(500))) : std::string());
            r.var(utf16(rnd.pick(words::kCities)));
            r.var(utf16(std::to_string(10000 + rnd.below(89999))));
            // A geography point: SRID, version and flags, then two doubles.
            std::string point(22, '\0');
            point[0] = static_cast<char>(0xE6);
            point[1] = 0x10;
            point[4] = 1;
            point[5] = 0x0C;
            const double lat = 30.0 + rnd.below(2000000) / 100000.0, lon = -125.0 + rnd.below(5000000) / 100000.0;
            std::memcpy(point.data() + 6, &lat, 8);
            std::memcpy(point.data() + 14, &lon, 8);
            r.var(point);
        });
        break;
    }
    case Object::Orders: {
        std::uint32_t order = static_cast<std::uint32_t>(43659 + key / 8);
        fillRows(out, 1, 0, 1, objectId, pageNumber, rnd, clusteredFill(rnd), false, [&](std::uint32_t, RowBuilder& r) {
            const std::uint32_t customer = 11000 + rnd.below(19000);
            const std::uint32_t subtotal = 100 + rnd.below(400000);
            r.fix(order++);
            r.fix(static_cast<std::uint8_t>(8));
            r.fix(datetime(day, 0));
            r.fix(datetime(day + 12, 0));
            r.fix(datetime(day + 7, 0));
            r.fix(static_cast<std::uint8_t>(5));
            r.fix(static_cast<std::uint8_t>(rnd.chance(88) ? 1 : 0));
            r.fix(customer);
            r.fix(static_cast<std::uint32_t>(rnd.chance(88) ? 0 : 274 + rnd.below(17)));
            r.fix(static_cast<std::uint32_t>(1 + rnd.below(10)));
            r.fix(static_cast<std::uint32_t>(1 + rnd.below(30000)));
            r.fix(static_cast<std::uint32_t>(1 + rnd.below(5)));
            r.fix(money(subtotal));
            r.fix(money(subtotal / 100 * 8));
            r.fix(money(subtotal / 100 * 2 + 1));
            guid(rnd, r);
            r.fix(datetime(day + 7, 0));
            r.columns = 24;
            char number[32];
            std::snprintf(number, sizeof number, "SO%u", order);
            r.var(utf16(number));
            r.var(rnd.chance(88) ? std::string() : utf16("PO" + std::to_string(rnd.next() % 10000000000ull)));
            std::snprintf(number, sizeof number, "10-4030-%06u", customer);
            r.var(utf16(number));
            r.var(std::string());
        });
        break;
    }
    case Object::NameIndex: {
        // Sorted by last name: a page holds one or two names, first names in order.
        const std::size_t lastCount = sizeof words::kLast / sizeof words::kLast[0];
        std::uint32_t at = static_cast<std::uint32_t>(rnd.below(static_cast<std::uint32_t>(lastCount * 70)));
        fillRows(out, 2, 0, 2, objectId + 1, pageNumber, rnd, 50 + rnd.below(51), stale, [&](std::uint32_t, RowBuilder& r) {
            at += rnd.chance(80) ? 0 : 1;
            r.status = 0x36;
            r.fix(static_cast<std::uint32_t>(1 + rnd.below(20000)));
            r.columns = 4;
            r.var(utf16(words::kLast[(at / 70) % lastCount]));
            r.var(utf16(words::kFirst[at % 70]));
            r.var(rnd.chance(50) ? utf16(std::string(1, static_cast<char>('A' + rnd.below(26)))) : std::string());
        });
        break;
    }
    case Object::ProductIndex: {
        std::uint32_t product = 1 + static_cast<std::uint32_t>(pageNumber % 999);
        std::uint32_t id = static_cast<std::uint32_t>(100000 + rnd.below(1u << 24));
        fillRows(out, 2, 0, 3, objectId + 2, pageNumber, rnd, 50 + rnd.below(51), stale, [&](std::uint32_t, RowBuilder& r) {
            if (rnd.chance(3))
                ++product;
            id += 1 + rnd.below(900);
            r.status = 0x16;
            r.fix(product);
            r.fix(id);
            r.columns = 2;
        });
        break;
    }
    case Object::GuidIndex: {
        std::uint32_t prefix = static_cast<std::uint32_t>(rnd.next());
        fillRows(out, 2, 0, 4, objectId + 3, pageNumber, rnd, 50 + rnd.below(51), stale, [&](std::uint32_t, RowBuilder& r) {
            prefix += rnd.below(1u << 20);
            r.status = 0x16;
            std::uint8_t g[16];
            randomBytes(rnd, g, 16);
            std::memcpy(g + 10, &prefix, 4); // the sort order's most significant bytes
            r.fixBytes(g, 16);
            r.fix(static_cast<std::uint32_t>(1 + rnd.below(120000)));
            r.columns = 2;
        });
        break;
    }
    case Object::UpperLevels: {
        std::uint32_t child = static_cast<std::uint32_t>(rnd.below(1u << 22));
        std::uint32_t lowKey = static_cast<std::uint32_t>(rnd.below(1u << 24));
        fillRows(out, 2, 1, 1, objectId + 4, pageNumber, rnd, 40 + rnd.below(61), stale, [&](std::uint32_t, RowBuilder& r) {
            child += 1 + (rnd.chance(80) ? 0 : rnd.below(64));
            lowKey += 60 + rnd.below(200);
            r.status = 0x06;
            r.fix(lowKey);
            r.fix(child);
            r.fix(static_cast<std::uint16_t>(1));
            r.columns = 1;
        });
        break;
    }
    case Object::Documents: {
        std::memset(out, 0, kPageSize);
        std::string text;
        const bool unicode = rnd.chance(60);
        const std::uint32_t wordCount = sizeof words::kWords / sizeof words::kWords[0];
        while (text.size() < (unicode ? 4000u : 8000u)) {
            if (rnd.chance(15)) {
                text += rnd.pick(words::kSentences);
                continue;
            }
            // Common words far more often than rare ones.
            const std::uint32_t sentenceWords = 4 + rnd.below(16);
            for (std::uint32_t w = 0; w < sentenceWords; ++w) {
                const std::uint32_t r = rnd.below(wordCount);
                std::string word = words::kWords[r * r / wordCount];
                if (w == 0)
                    word[0] = static_cast<char>(word[0] - 'a' + 'A');
                text += word;
                text += w + 1 == sentenceWords ? ". " : " ";
            }
        }
        if (unicode)
            text = utf16(text);
        const std::size_t length = std::min<std::size_t>(text.size(), kPageSize - kHeaderSize - 14 - 2);
        out[kHeaderSize] = 0x08; // a blob fragment record
        const std::uint64_t blobId = rnd.next() >> 20;
        std::memcpy(out + kHeaderSize + 4, &blobId, 8);
        std::memcpy(out + kHeaderSize + 14, text.data(), length);
        const auto slot = static_cast<std::uint16_t>(kHeaderSize);
        std::memcpy(out + kPageSize - 2, &slot, 2);
        writeHeader(out, 3, 0, 0, objectId, pageNumber, rnd, 1, static_cast<std::uint16_t>(kHeaderSize + 14 + length));
        break;
    }
    case Object::Photos: {
        randomBytes(rnd, out, kPageSize);
        std::memset(out, 0, kHeaderSize + 14);
        out[kHeaderSize] = 0x08;
        writeHeader(out, 3, 0, 0, objectId, pageNumber, rnd, 1, static_cast<std::uint16_t>(kPageSize - 2));
        break;
    }
    case Object::Unused:
        std::memset(out, 0, kPageSize);
        break;
    }
}

// Fills `length` bytes of the content that starts at `offset`.
inline void fill(std::uint64_t seed, std::uint64_t offset, std::uint8_t* out, std::size_t length)
{
    std::uint8_t page[kPageSize];
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t at = offset + done;
        const std::uint64_t number = at / kPageSize;
        const std::size_t within = static_cast<std::size_t>(at % kPageSize);
        const std::size_t n = std::min(kPageSize - within, length - done);
        if (within == 0 && n == kPageSize) {
            fillPage(seed, number, out + done);
        } else {
            fillPage(seed, number, page);
            std::memcpy(out + done, page + within, n);
        }
        done += n;
    }
}

} // namespace dbpages
