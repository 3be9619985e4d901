#include "rtl/Classes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string>* g_log = nullptr;

class TLogged : public TComponent {
    RTL_CLASS(TLogged, TComponent)
public:
    explicit TLogged(TComponent* AOwner) : TComponent(AOwner) {}
    ~TLogged() override {
        if (g_log)
            g_log->push_back("free " + Name());
    }
};

// Holds a reference to a component it does not own and forgets it on free notification.
class THolder : public TComponent {
    RTL_CLASS(THolder, TComponent)
public:
    explicit THolder(TComponent* AOwner) : TComponent(AOwner) {}
    TComponent* Target = nullptr;
    int removals = 0;
    void SetTarget(TComponent* value) {
        Target = value;
        if (value)
            value->FreeNotification(this);
    }
    void Notification(TComponent* AComponent, TOperation Operation) override {
        inherited::Notification(AComponent, Operation);
        if (Operation == opRemove && AComponent == Target) {
            Target = nullptr;
            ++removals;
        }
    }
};

} // namespace

TEST(Component, OwnerFreesOwnedLastFirstAndNotificationClearsForeignReferences) {
    std::vector<std::string> log;
    g_log = &log;
    auto* holder = new THolder(nullptr);
    {
        auto* root = new TLogged(nullptr);
        root->SetName("root");
        auto* a = new TLogged(root);
        a->SetName("a");
        auto* b = new TLogged(root);
        b->SetName("b");
        auto* c = new TLogged(b);
        c->SetName("c");
        holder->SetTarget(c);
        EXPECT_EQ(root->ComponentCount(), 2);
        EXPECT_EQ(root->FindComponent("B"), b);
        FreeObject(root);
    }
    g_log = nullptr;
    // A derived destructor runs before the owned components go (last first, depth first).
    EXPECT_EQ(log, (std::vector<std::string>{"free root", "free b", "free c", "free a"}));
    EXPECT_EQ(holder->Target, nullptr);
    EXPECT_EQ(holder->removals, 1);
    delete holder;
}
