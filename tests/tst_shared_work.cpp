// Work shared by several processes gives what one process gives: searches reduce the slices'
// picks to the same picks, runner-ups and rates, and builds write the same file. The processes
// are threads here, each with its own shard; the MPI front end is checked by mpi_check.sh.

#include "ft1/database_builder.h"
#include "maps/descriptor.h"
#include "search/cell_index.h"
#include "search/database_search.h"
#include "search/shard_picks.h"
#include "support/shard.h"
#include "test_support.h"

#include <QtTest>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Several ranks as threads of this process, exchanging bytes through shared memory.
class LocalJob
{
public:
    explicit LocalJob(int ranks)
        : m_ranks(ranks)
    {
        for (int rank = 0; rank < ranks; ++rank) {
            m_slots.append(QByteArray());
        }
    }

    // Runs body(rank) on one thread per rank, each with its shard installed.
    void run(const std::function<void(int)> &body)
    {
        std::vector<std::thread> threads;
        for (int rank = 0; rank < m_ranks; ++rank) {
            threads.emplace_back([this, rank, &body] {
                Rank shard(*this, rank);
                set_work_shard(&shard);
                body(rank);
                set_work_shard(nullptr);
            });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
    }

private:
    class Rank : public Shard
    {
    public:
        Rank(LocalJob &job, int rank)
            : m_job(job)
            , m_rank(rank)
        {}
        int rank() const override { return m_rank; }
        int ranks() const override { return m_job.m_ranks; }
        QList<QByteArray> all_gather(const QByteArray &mine) override
        {
            return m_job.exchange(m_rank, mine);
        }
        QList<QByteArray> gather(const QByteArray &mine) override
        {
            const QList<QByteArray> all = m_job.exchange(m_rank, mine);
            return m_rank == 0 ? all : QList<QByteArray>();
        }
        QByteArray broadcast(const QByteArray &from_rank_0) override
        {
            return m_job.exchange(m_rank, from_rank_0).first();
        }

    private:
        LocalJob &m_job;
        int m_rank;
    };

    QList<QByteArray> exchange(int rank, const QByteArray &mine)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_slots[rank] = mine;
        const int generation = m_generation;
        if (++m_arrived == m_ranks) {
            m_result = m_slots;
            m_arrived = 0;
            ++m_generation;
            m_changed.notify_all();
        } else {
            m_changed.wait(lock, [&] { return m_generation != generation; });
        }
        return m_result;
    }

    const int m_ranks;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    QList<QByteArray> m_slots;
    QList<QByteArray> m_result;
    int m_arrived = 0;
    int m_generation = 0;
};

FeatureMap crop_of(const FeatureMap &image, int x0, int y0, int width, int height,
                   const QString &name)
{
    FeatureMap part = FeatureMap::allocate(width, height, name);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            part.at(x, y) = image.at(x0 + x, y0 + y);
        }
    }
    return part;
}

// Maps whose values tie a lot: -1, 0 or 1.
FeatureMap coarse_map(std::mt19937 &rng, int width, int height, const QString &name)
{
    FeatureMap map = FeatureMap::allocate(width, height, name);
    std::uniform_int_distribution<int> level(-1, 1);
    for (qint64 k = 0; k < map.cell_count(); ++k) {
        map.values[k] = float(level(rng));
    }
    return map;
}

QString describe(const std::optional<MatchCandidate> &window)
{
    return window ? QString("%1 (map %2) at %3,%4 score %5")
                        .arg(window->name)
                        .arg(window->map)
                        .arg(window->x)
                        .arg(window->y)
                        .arg(double(window->score), 0, 'g', 9)
                  : QString("none");
}

bool same_window(const std::optional<MatchCandidate> &a, const std::optional<MatchCandidate> &b)
{
    return bool(a) == bool(b) &&
           (!a ||
            (a->x == b->x && a->y == b->y && a->name == b->name && a->map == b->map &&
             (same_bits(a->score, b->score) || (std::isnan(a->score) && std::isnan(b->score)))));
}

struct Case {
    WindowSettings settings;
    QList<FeatureMap> database;
    QList<FeatureMap> patterns;
};

// A database with exact and near copies, ties, maps too small for any window and a map of
// values not finite; patterns cut on and off the grid, too small, too large, and unrelated.
Case random_case(std::mt19937 &rng)
{
    Case c;
    c.settings = WindowSettings{std::uniform_int_distribution<int>(2, 5)(rng),
                                std::uniform_int_distribution<int>(1, 2)(rng)};
    const int a = c.settings.radius;
    std::uniform_int_distribution<int> side(2 * a + 10, 2 * a + 40);
    std::uniform_int_distribution<int> kind_of(0, 5);
    QList<FeatureMap> images;
    const int maps = std::uniform_int_distribution<int>(1, 9)(rng);
    for (int m = 0; m < maps; ++m) {
        const QString name = QString("n%1").arg(std::uniform_int_distribution<int>(0, 4)(rng));
        const int kind = kind_of(rng);
        if (kind <= 2) {
            FeatureMap image = random_grey_map(rng, side(rng), side(rng), name);
            FeatureMap map = descriptor_map(image, c.settings);
            map.name = name;
            c.database.append(map);
            images.append(image);
        } else if (kind == 3) {
            c.database.append(coarse_map(rng, side(rng) / a, side(rng) / a, name));
        } else if (kind == 4) {
            c.database.append(coarse_map(rng, 1, 1, name)); // no window fits
        } else {
            c.database.append(c.database.isEmpty() ? coarse_map(rng, 4, 4, name)
                                                   : c.database.last()); // a tie with the last
        }
    }
    if (kind_of(rng) == 0) {
        FeatureMap odd = FeatureMap::allocate(6, 6, "nan");
        for (qint64 k = 0; k < odd.cell_count(); ++k) {
            odd.values[k] = k % 2 ? std::nanf("") : 9999.0f;
        }
        c.database.insert(std::uniform_int_distribution<int>(0, c.database.size())(rng), odd);
    }
    for (int p = 0; p < 4; ++p) {
        if (!images.isEmpty() && p < 2) {
            const FeatureMap &image =
                images[std::uniform_int_distribution<int>(0, images.size() - 1)(rng)];
            const int width = std::uniform_int_distribution<int>(2 * a + 1, image.width - 1)(rng);
            const int height = std::uniform_int_distribution<int>(2 * a + 1, image.height - 1)(rng);
            c.patterns.append(
                crop_of(image, std::uniform_int_distribution<int>(0, image.width - width)(rng),
                        std::uniform_int_distribution<int>(0, image.height - height)(rng), width,
                        height, image.name));
        } else {
            c.patterns.append(random_grey_map(rng, side(rng), side(rng), "n1"));
        }
    }
    c.patterns.append(random_grey_map(rng, 2 * a - 1, 2 * a + 3, "small"));
    c.patterns.append(random_grey_map(rng, 100 * a, 2 * a + 3, "large"));
    return c;
}

} // namespace

class TestSharedWork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_previous = console::set_sink(&m_silent); }
    void cleanupTestCase() { console::set_sink(m_previous); }

    void slices_reduce_to_the_single_process_picks_data()
    {
        QTest::addColumn<bool>("aligned");
        QTest::addColumn<bool>("runner_up");
        QTest::addColumn<bool>("with_index");
        QTest::newRow("literal") << false << true << false;
        QTest::newRow("literal without runner-ups") << false << false << false;
        QTest::newRow("aligned") << true << true << false;
        QTest::newRow("aligned without runner-ups") << true << false << false;
        // The database's index, which each slice sees from its first map.
        QTest::newRow("aligned, the database's index") << true << true << true;
    }

    void slices_reduce_to_the_single_process_picks()
    {
        QFETCH(bool, aligned);
        QFETCH(bool, runner_up);
        QFETCH(bool, with_index);
        std::mt19937 rng(aligned ? 31 : 17);
        int found = 0;
        int runner_ups = 0;
        for (int round = 0; round < 60; ++round) {
            const Case c = random_case(rng);
            SearchOptions options;
            options.mode = aligned ? SearchMode::aligned : SearchMode::literal;
            options.runner_up = runner_up;
            options.threads = 1 + round % 2;
            options.clock = [] { return 0u; };
            const CellIndex index = with_index ? CellIndex(c.database) : CellIndex();
            options.index = with_index ? &index : nullptr;
            const SearchOutcome alone =
                search_patterns(c.settings, c.patterns, c.database, options);
            QCOMPARE(alone.status, SearchStatus::searched);
            found += alone.found;
            for (const PatternPick &pick : alone.picks) {
                runner_ups += pick.runner_up ? 1 : 0;
            }
            for (int ranks = 2; ranks <= 4 + c.database.size() % 3; ++ranks) {
                std::vector<SearchOutcome> shared(static_cast<std::size_t>(ranks));
                LocalJob(ranks).run([&](int rank) {
                    shared[static_cast<std::size_t>(rank)] =
                        search_patterns(c.settings, c.patterns, c.database, options);
                });
                for (const SearchOutcome &outcome : shared) {
                    const QString where = QString("round %1, %2 ranks, %3 maps")
                                              .arg(round)
                                              .arg(ranks)
                                              .arg(c.database.size());
                    QCOMPARE(outcome.found, alone.found);
                    QCOMPARE(outcome.rate, alone.rate);
                    QCOMPARE(outcome.picks.size(), alone.picks.size());
                    for (int k = 0; k < alone.picks.size(); ++k) {
                        const PatternPick &a = alone.picks[k];
                        const PatternPick &b = outcome.picks[k];
                        const QString pattern = where + QString(", pattern %1: ").arg(k);
                        QVERIFY2(same_window(a.best, b.best),
                                 qPrintable(pattern + describe(b.best) + ", expected " +
                                            describe(a.best)));
                        QVERIFY2(same_window(a.runner_up, b.runner_up),
                                 qPrintable(pattern + "runner-up " + describe(b.runner_up) +
                                            ", expected " + describe(a.runner_up)));
                        QCOMPARE(b.other_images, a.other_images);
                        QCOMPARE(b.found, a.found);
                        QCOMPARE(b.phase, a.phase);
                        QCOMPARE(b.map_width, a.map_width);
                        QCOMPARE(b.map_height, a.map_height);
                        QCOMPARE(b.magnitude, a.magnitude);
                        QCOMPARE(b.any_cells, a.any_cells);
                    }
                }
            }
        }
        // The cases held finds and, when asked for, runner-ups.
        QVERIFY2(found > 20, qPrintable(QString::number(found)));
        QVERIFY(!runner_up || runner_ups > 10);
    }

    void builds_write_the_single_process_file()
    {
        ScopedWorkdir workdir;
        QVERIFY(workdir.mkpath("images"));
        std::mt19937 rng(5);
        for (int k = 0; k < 37; ++k) {
            const FeatureMap grey = random_grey_map(rng, 40 + k % 7, 30 + k % 5);
            QVERIFY(save_grey_image(
                workdir.file(QString("images/img%1.png").arg(k, 2, 10, QChar('0'))), grey.width,
                grey.height, [&](int x, int y) { return int(grey.at(x, y)); }));
        }
        QVERIFY(write_file(workdir.file("images/notes.txt"), "not an image"));
        QVERIFY(QFile::copy(workdir.file("images/img03.png"), workdir.file("images/img03.x.png")));
        const WindowSettings settings{4, 2};
        QVERIFY(build_database(settings, "images", "alone.ft1"));
        const QByteArray alone = file_bytes(workdir.file("precomputed_databases/alone.ft1"));
        QVERIFY(alone.count('\n') > 37);
        for (int ranks = 1; ranks <= 4; ++ranks) {
            const QString name = QString("shared%1.ft1").arg(ranks);
            std::vector<char> built(static_cast<std::size_t>(ranks), 0);
            LocalJob(ranks).run([&](int rank) {
                BuildOptions options;
                options.threads = 1 + rank % 2;
                built[static_cast<std::size_t>(rank)] =
                    build_database(settings, "images", name, options);
            });
            for (char ok : built) {
                QVERIFY(ok);
            }
            QVERIFY2(file_bytes(workdir.file("precomputed_databases/" + name)) == alone,
                     qPrintable(name));
        }
    }

    void every_process_learns_that_the_writer_failed()
    {
        ScopedWorkdir workdir;
        QVERIFY(workdir.mkpath("images"));
        QVERIFY(write_file(workdir.file("precomputed_databases"), "a file in the folder's way"));
        for (int ranks = 2; ranks <= 3; ++ranks) {
            std::vector<char> built(static_cast<std::size_t>(ranks), 1);
            LocalJob(ranks).run([&](int rank) {
                built[static_cast<std::size_t>(rank)] =
                    build_database(WindowSettings{4, 1}, "images", "x.ft1");
            });
            for (char ok : built) {
                QVERIFY(!ok);
            }
        }
    }

    void damaged_picks_are_refused()
    {
        PatternPick pick;
        pick.best = MatchCandidate{3, 4, 0.5f, "a", 7};
        pick.magnitude = 1.25;
        const QByteArray packed = pack_picks({pick, pick});
        const std::optional<QList<PatternPick>> back = unpack_picks(packed, 2);
        QVERIFY(back && back->size() == 2 && same_window(back->at(1).best, pick.best));
        QCOMPARE(back->at(1).magnitude, 1.25);
        QVERIFY(!unpack_picks(packed, 3));
        QVERIFY(!unpack_picks(packed, 1));
        QVERIFY(!unpack_picks(packed.left(packed.size() - 1), 2));
    }

private:
    std::ostringstream m_silent;
    std::ostream *m_previous = nullptr;
};

QTEST_GUILESS_MAIN(TestSharedWork)
#include "tst_shared_work.moc"
