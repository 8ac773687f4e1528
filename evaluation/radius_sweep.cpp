#include "evaluation/radius_sweep.h"

#include "matcher/console.h"
#include "matcher/database_builder.h"
#include "matcher/image_matcher.h"

QList<int> sweep_radii()
{
    QList<int> radii;
    for (int radius = 20; radius <= 150; radius += 10) {
        radii.append(radius);
    }
    return radii;
}

QString sweep_database_path(int radius)
{
    return database_directory() + "db3_ft1_" + QString::number(radius, 10) + ".ft1";
}

void radius_sweep(ImageMatcher &matcher, QList<FeatureMap> &database, const QString &directory,
                  const SweepCallbacks &callbacks)
{
    matcher.step_divisor = 1;
    database.clear();
    for (int radius : sweep_radii()) {
        SweepPass pass;
        pass.radius = radius;
        matcher.radius = radius;
        console::write(std::to_string(radius) + "\t");
        matcher.load_database(sweep_database_path(radius), database, pass.load_message);
        if (callbacks.loaded) {
            callbacks.loaded(pass);
        }
        pass.search = multi_search(matcher, database, directory, callbacks.search);
        if (callbacks.searched) {
            callbacks.searched(pass);
        }
        database.clear();
    }
}
