#include "ft1/ft1_contents.h"

int Ft1Contents::complete_records() const
{
    int count = 0;
    for (const Ft1Record &record : records) {
        count += record.complete ? 1 : 0;
    }
    return count;
}

void close_problem_list(Ft1Contents &contents, const QString &path)
{
    if (contents.problem_count > max_problems_listed) {
        contents.problems.append(QString("%1: %2 more malformed lines")
                                     .arg(path)
                                     .arg(contents.problem_count - max_problems_listed));
    }
}
