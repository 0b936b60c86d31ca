#include "kivo/common/shared_ptr.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

namespace {

// Counts destructor runs into a caller's counter.
class Tracked : public kivo::RefObject {
public:
    explicit Tracked(int* dtors) : _dtors(dtors) {}
    ~Tracked() override { ++*_dtors; }

private:
    int* _dtors;
};

// Only its virtual destructor tells the holder that it is more than a
// Tracked.
class TrackedChild : public Tracked {
public:
    TrackedChild(int* dtors, int* child_dtors) : Tracked(dtors), _child_dtors(child_dtors) {}
    ~TrackedChild() override { ++*_child_dtors; }

private:
    int* _child_dtors;
};

TEST(IntrusivePtrTest, CountsHoldersAndDeletesOnLastRelease)
{
    int dtors = 0;
    int child_dtors = 0;
    TrackedChild* obj = new TrackedChild(&dtors, &child_dtors);
    EXPECT_EQ(0, obj->GetRefCnt());
    {
        kivo::IntrusivePtr<Tracked> a(obj);
        EXPECT_EQ(1, a.UseCount());
        {
            kivo::IntrusivePtr<Tracked> b(a);
            kivo::IntrusivePtr<Tracked> c;
            c = b;
            EXPECT_EQ(3, a.UseCount());
            EXPECT_EQ(obj, c.Get());
        }
        EXPECT_EQ(1, a.UseCount());
        EXPECT_EQ(0, dtors);
    }
    // Deleted through the virtual destructor: the child's part ran too.
    EXPECT_EQ(1, dtors);
    EXPECT_EQ(1, child_dtors);
}

TEST(IntrusivePtrTest, SelfAssignmentKeepsObjectAndCount)
{
    int dtors = 0;
    kivo::IntrusivePtr<Tracked> p(new Tracked(&dtors));
    kivo::IntrusivePtr<Tracked>& alias = p;
    p = alias;
    EXPECT_EQ(1, p.UseCount());
    p = p.Get();
    EXPECT_EQ(1, p.UseCount());
    EXPECT_EQ(0, dtors);
    EXPECT_EQ(1, p->GetRefCnt());
}

TEST(IntrusivePtrTest, AssignmentReleasesOldAndReferencesNew)
{
    int old_dtors = 0;
    int new_dtors = 0;
    kivo::IntrusivePtr<Tracked> p(new Tracked(&old_dtors));
    kivo::IntrusivePtr<Tracked> q(new Tracked(&new_dtors));
    p = q;
    EXPECT_EQ(1, old_dtors);
    EXPECT_EQ(2, q.UseCount());
    p = static_cast<Tracked*>(0);
    EXPECT_TRUE(p.Empty());
    EXPECT_EQ(1, q.UseCount());
    EXPECT_EQ(0, new_dtors);
}

TEST(IntrusivePtrTest, EmptyAndSwap)
{
    int dtors = 0;
    kivo::IntrusivePtr<Tracked> empty;
    EXPECT_TRUE(empty.Empty());
    EXPECT_EQ(0, empty.UseCount());
    EXPECT_EQ(nullptr, empty.Get());

    kivo::IntrusivePtr<Tracked> p(new Tracked(&dtors));
    Tracked* raw = p.Get();
    p.Swap(empty);
    EXPECT_TRUE(p.Empty());
    EXPECT_EQ(raw, empty.Get());
    EXPECT_EQ(1, empty.UseCount());
    EXPECT_EQ(raw, &*empty);
}

TEST(ObjectAnyWrapTest, SharesOneCopyOfTheValue)
{
    typedef kivo::ObjectAnyWrap<std::vector<std::string>> Wrap;
    std::vector<std::string> source(1, "a");
    kivo::IntrusivePtr<Wrap> a(new Wrap(source));
    kivo::IntrusivePtr<Wrap> b(a);
    b->value.push_back("b");
    // Both pointers see one holder; the caller's vector was copied.
    EXPECT_EQ(2u, a->value.size());
    EXPECT_EQ(1u, source.size());
    EXPECT_EQ(2, a.UseCount());
}

TEST(IntrusivePtrDeathTest, DereferencingEmptyAborts)
{
    kivo::IntrusivePtr<Tracked> p;
    EXPECT_DEATH(p->GetRefCnt(), "!Empty\\(\\)");
    EXPECT_DEATH((void)*p, "!Empty\\(\\)");
}

// Its destructor is not virtual: only a delete of the type given at
// construction runs Child's part.
struct Plain {
    explicit Plain(int* dtors) : dtors(dtors) {}
    ~Plain() { ++*dtors; }
    int* dtors;
};

struct PlainChild : Plain {
    PlainChild(int* dtors, int* child_dtors) : Plain(dtors), child_dtors(child_dtors) {}
    ~PlainChild() { ++*child_dtors; }
    int* child_dtors;
};

struct DeleterLog {
    static int calls;
    static void* last;
    static void Reset()
    {
        calls = 0;
        last = &calls;  // anything but null, so a null call shows
    }
    // Records only: the object stays with the test.
    static void Record(void* p)
    {
        ++calls;
        last = p;
    }
    // The page cache's deleter form returns a size; it must be ignored.
    static unsigned int RecordSized(void* p)
    {
        Record(p);
        return 4096;
    }
};
int DeleterLog::calls = 0;
void* DeleterLog::last = nullptr;

TEST(SharedPtrTest, DeletesAsTheTypeGivenAtConstruction)
{
    int dtors = 0;
    int child_dtors = 0;
    {
        kivo::SharedPtr<Plain> p(new PlainChild(&dtors, &child_dtors));
        kivo::SharedPtr<Plain> q(p);
        EXPECT_EQ(2, p.UseCount());
        EXPECT_EQ(&dtors, q->dtors);
    }
    EXPECT_EQ(1, dtors);
    EXPECT_EQ(1, child_dtors);
}

TEST(SharedPtrTest, DeleterIsCalledInsteadOfDelete)
{
    int dtors = 0;
    Plain obj(&dtors);
    DeleterLog::Reset();
    {
        kivo::SharedPtr<Plain> p(&obj, &DeleterLog::Record);
        kivo::SharedPtr<Plain> q(p);
        q.Reset();
        EXPECT_EQ(0, DeleterLog::calls);
    }
    EXPECT_EQ(1, DeleterLog::calls);
    EXPECT_EQ(&obj, DeleterLog::last);
    EXPECT_EQ(0, dtors);

    DeleterLog::Reset();
    {
        kivo::SharedPtr<unsigned char> buf(reinterpret_cast<unsigned char*>(&obj), &DeleterLog::RecordSized);
    }
    EXPECT_EQ(1, DeleterLog::calls);
    EXPECT_EQ(&obj, DeleterLog::last);
}

TEST(SharedPtrTest, NullObjectPointerStillMakesAControlObject)
{
    kivo::SharedPtr<Plain> p(static_cast<Plain*>(nullptr));
    EXPECT_FALSE(p.Empty());
    EXPECT_EQ(1, p.UseCount());
    EXPECT_EQ(nullptr, p.operator->());
    p.Reset();
    EXPECT_TRUE(p.Empty());

    DeleterLog::Reset();
    {
        kivo::SharedPtr<Plain> d(static_cast<Plain*>(nullptr), &DeleterLog::Record);
        EXPECT_FALSE(d.Empty());
    }
    EXPECT_EQ(1, DeleterLog::calls);
    EXPECT_EQ(nullptr, DeleterLog::last);
}

TEST(SharedPtrTest, ResetWithNewObjectLeavesTheOtherHolderTheOldOne)
{
    int old_dtors = 0;
    int new_dtors = 0;
    kivo::SharedPtr<Plain> p(new Plain(&old_dtors));
    kivo::SharedPtr<Plain> other(p);
    EXPECT_EQ(2, other.UseCount());

    p.Reset(new Plain(&new_dtors));
    EXPECT_EQ(1, p.UseCount());
    EXPECT_EQ(1, other.UseCount());
    EXPECT_EQ(&old_dtors, other->dtors);
    EXPECT_EQ(&new_dtors, p->dtors);
    EXPECT_EQ(0, old_dtors);

    other.Reset();
    EXPECT_EQ(1, old_dtors);
    EXPECT_EQ(0, other.UseCount());
    p.Reset();
    EXPECT_EQ(1, new_dtors);
}

TEST(SharedPtrTest, AssignmentAndSelfAssignment)
{
    int a_dtors = 0;
    int b_dtors = 0;
    kivo::SharedPtr<Plain> a(new Plain(&a_dtors));
    kivo::SharedPtr<Plain> b(new Plain(&b_dtors));
    kivo::SharedPtr<Plain>& alias = a;
    a = alias;
    EXPECT_EQ(1, a.UseCount());
    EXPECT_EQ(0, a_dtors);

    a = b;
    EXPECT_EQ(1, a_dtors);
    EXPECT_EQ(2, b.UseCount());

    kivo::SharedPtr<Plain> empty;
    a = empty;
    EXPECT_TRUE(a.Empty());
    EXPECT_EQ(1, b.UseCount());

    a.Swap(b);
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(&b_dtors, a->dtors);
    EXPECT_EQ(0, b_dtors);
}

TEST(SharedPtrTest, RawByteBufferIsReleasedAsRawStorage)
{
    // Byte buffers are created as raw storage of the wanted size; releasing
    // them must match that allocation (the sanitizer build checks it).
    kivo::SharedPtr<unsigned char> bytes(static_cast<unsigned char*>(::operator new(300)));
    kivo::SharedPtr<char> chars(static_cast<char*>(::operator new(17)));
    bytes.operator->()[299] = 1;
    chars.operator->()[16] = 'x';
    EXPECT_EQ(1, bytes.UseCount());
}

TEST(SharedPtrDeathTest, DereferencingEmptyAborts)
{
    kivo::SharedPtr<Plain> p;
    EXPECT_DEATH((void)p->dtors, "!Empty\\(\\)");
    EXPECT_DEATH((void)*p, "!Empty\\(\\)");
}

}  // namespace
