#include "app/core/PlayheadModel.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace qm;

TEST(PlayheadModel, EverySetIsAnnounced) {
    PlayheadModel m;
    EXPECT_EQ(m.frame(), 0);
    QSignalSpy spy(&m, &PlayheadModel::frameChanged);
    m.setFrame(48000.5);
    m.setFrame(48000.5);
    m.setProperty("frame", 12.0);
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy.at(1).at(0).toDouble(), 48000.5);
    EXPECT_EQ(m.frame(), 12.0);
}
