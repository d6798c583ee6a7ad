// The -o word as libfuse gets it: the options vornelix applies itself
// taken out and set, those that mean nothing any more dropped, and the
// ones every mount gets added.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "fs/kernel/mount.h"
#include "fs/kernel/requests.h"

namespace {

struct options_row {
    const char* word;
    std::optional<std::string> handed;
    reply_settings set;
};

TEST(mount_options, each_option_goes_where_it_belongs)
{
    const std::string forced = "default_permissions,subtype=vornelix";
    const options_row rows[] = {
        {"-ofsname=/a=/b", "fsname=/a=/b," + forced, {}},
        {"-obig_writes,nonempty,use_ino,readdir_ino,hard_remove,allow_other", "allow_other," + forced, {}},
        {"-oattr_timeout=0,entry_timeout=2.5,negative_timeout=1", forced, {2.5, 0, 1, false, false}},
        {"-odirect_io,kernel_cache,ro", "ro," + forced, {1, 1, 0, true, true}},
        // An escaped comma belongs to its option.
        {"-ofsname=a\\,big_writes,dev", "fsname=a\\,big_writes,dev," + forced, {}},
        {"-oattr_timeout=soon", std::nullopt, {}},
        {"-oentry_timeout=-1", std::nullopt, {}},
    };
    for (const options_row& row : rows) {
        kept_for = reply_settings{};
        EXPECT_EQ(libfuse_options(row.word), row.handed) << row.word;
        if (!row.handed)
            continue;
        EXPECT_EQ(kept_for.entry, row.set.entry) << row.word;
        EXPECT_EQ(kept_for.attributes, row.set.attributes) << row.word;
        EXPECT_EQ(kept_for.absence, row.set.absence) << row.word;
        EXPECT_EQ(kept_for.direct_io, row.set.direct_io) << row.word;
        EXPECT_EQ(kept_for.kernel_cache, row.set.kernel_cache) << row.word;
    }
    kept_for = reply_settings{};
}

}  // namespace
