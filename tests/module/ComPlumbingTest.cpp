// The COM plumbing both classes share: interface tables, plain and aggregated
// objects, the cached class factory and the object map, checked on a small test
// class.
#include <windows.h>
#include <objidl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "com/ClassFactory.h"
#include "com/ComObject.h"
#include "module/Module.h"
#include "module/ObjectMap.h"
#include "tests/common/FakeObject.h"

namespace veska {
namespace {

// A class with a derived interface and its base listed explicitly.
class Widget : public ObjectRoot<Widget, MultiThreadModel>, public IPersistStream, public IMarshal {
public:
    using Interfaces = InterfaceMap<Entry<IPersistStream>, Entry<IPersist, IPersistStream>, Entry<IMarshal>>;

    static std::atomic<int> alive;
    Widget() { ++alive; }
    virtual ~Widget() { --alive; }

    STDMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP Save(IStream*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
    STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP MarshalInterface(IStream*, REFIID, void*, DWORD, void*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnmarshalInterface(IStream*, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHODIMP ReleaseMarshalData(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP DisconnectObject(DWORD) override { return E_NOTIMPL; }
};
std::atomic<int> Widget::alive{0};

using test::CountingOuter;

TEST(InterfaceTable, AnswersListedInterfacesWithOneIdentity) {
    const long locksBefore = TheModule.LockCount();
    ComPtr<IUnknown> object;
    ASSERT_EQ(CreateComInstance<Widget>(nullptr, IID_IUnknown, object.put_void()), S_OK);
    EXPECT_EQ(TheModule.LockCount(), locksBefore + 1) << "a live instance holds the library";

    struct Case {
        const IID* iid;
        HRESULT hr;
    } cases[] = {{&IID_IPersistStream, S_OK}, {&IID_IPersist, S_OK}, {&IID_IMarshal, S_OK},
                 {&IID_IDispatch, E_NOINTERFACE}, {&IID_IClassFactory, E_NOINTERFACE}};
    for (const Case& c : cases) {
        ComPtr<IUnknown> answer;
        EXPECT_EQ(object->QueryInterface(*c.iid, answer.put_void()), c.hr);
        if (FAILED(c.hr)) {
            EXPECT_EQ(answer.get(), nullptr);
            continue;
        }
        ComPtr<IUnknown> identity = answer.try_query<IUnknown>();
        EXPECT_EQ(identity.get(), object.get()) << "IUnknown resolves to the primary interface";
    }
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    object.reset();
    EXPECT_EQ(Widget::alive, 0);
    EXPECT_EQ(TheModule.LockCount(), locksBefore);
}

TEST(Aggregation, InnerUnknownDelegatesEverythingButIdentity) {
    CountingOuter outer;
    IUnknown* inner = nullptr;
    ASSERT_EQ(CreateComInstance<Widget>(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    outer.inner = inner;
    EXPECT_EQ(outer.refs, 1) << "making the inner object takes no outer reference";

    IUnknown* innerAgain = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&innerAgain)), S_OK);
    EXPECT_EQ(innerAgain, inner) << "the inner IUnknown answers IUnknown with itself";
    innerAgain->Release();

    IPersist* persist = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)), S_OK);
    EXPECT_EQ(outer.refs, 2) << "interfaces of the inner object count on the outer one";
    IUnknown* controlling = nullptr;
    ASSERT_EQ(persist->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&controlling)), S_OK);
    EXPECT_EQ(controlling, &outer) << "identity through an inner interface is the outer object";
    controlling->Release();
    EXPECT_EQ(static_cast<Widget*>(static_cast<IPersistStream*>(persist))->ControllingUnknown(), &outer);
    persist->Release();
    EXPECT_EQ(outer.refs, 1);

    EXPECT_EQ(Widget::alive, 1);
    inner->Release();
    EXPECT_EQ(Widget::alive, 0);
}

TEST(ClassFactory, CreateInstanceLockServerAndTheCachedReference) {
    const long locksBefore = TheModule.LockCount();
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CreateCachedClassFactory(&CreateComInstance<Widget>, IID_IClassFactory,
                                       reinterpret_cast<void**>(&factory)),
              S_OK);
    EXPECT_EQ(TheModule.LockCount(), locksBefore) << "the first reference is the cache's";
    factory->AddRef();
    EXPECT_EQ(TheModule.LockCount(), locksBefore + 1) << "a client's reference keeps the library";
    factory->Release();
    EXPECT_EQ(TheModule.LockCount(), locksBefore);

    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPersist, nullptr), E_POINTER);
    CountingOuter outer;
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IPersist, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Widget::alive, 0);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Widget::alive, 0) << "a failed QueryInterface destroys the new object";

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(TheModule.LockCount(), locksBefore + 1);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(TheModule.LockCount(), locksBefore - 1) << "an unbalanced unlock goes below zero";
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->Release(), 0u);
}

// {6F1C7A56-3C1B-4B1D-9A43-2B7E2F1C0D11}
const CLSID kWidgetClsid = {0x6f1c7a56, 0x3c1b, 0x4b1d, {0x9a, 0x43, 0x2b, 0x7e, 0x2f, 0x1c, 0x0d, 0x11}};

std::atomic<int> factoriesMade{0};
HRESULT SlowCreateClassObject(InstanceCreator create, REFIID iid, void** ppv) {
    ++factoriesMade;
    Sleep(20);  // widen the window in which a second thread could create another one
    return CreateCachedClassFactory(create, iid, ppv);
}

TEST(ObjectMap, OneCachedClassObjectPerClass) {
    ObjectMapEntry map[] = {
        {&kWidgetClsid, nullptr, &SlowCreateClassObject, &CreateComInstance<Widget>, {}},
        {},
    };
    factoriesMade = 0;
    const long locksBefore = TheModule.LockCount();
    IUnknown* first = nullptr;
    IUnknown* second = nullptr;
    std::thread other([&] {
        GetClassObjectFromMap(map, kWidgetClsid, IID_IClassFactory, reinterpret_cast<void**>(&second));
    });
    ASSERT_EQ(GetClassObjectFromMap(map, kWidgetClsid, IID_IClassFactory, reinterpret_cast<void**>(&first)),
              S_OK);
    other.join();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second) << "two threads asking at once get the same class object";
    EXPECT_EQ(factoriesMade, 1);
    EXPECT_EQ(TheModule.LockCount(), locksBefore + 1) << "held class objects keep the library";
    first->Release();
    second->Release();
    EXPECT_EQ(TheModule.LockCount(), locksBefore) << "the cache alone does not";

    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(GetClassObjectFromMap(map, IID_IPersist, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(GetClassObjectFromMap(map, kWidgetClsid, IID_IClassFactory, nullptr), E_POINTER);

    ASSERT_TRUE(map[0].classObject.Holds());
    StopObjectMap(map);
    EXPECT_FALSE(map[0].classObject.Holds());
    ASSERT_EQ(GetClassObjectFromMap(map, kWidgetClsid, IID_IUnknown, reinterpret_cast<void**>(&first)), S_OK);
    EXPECT_EQ(factoriesMade, 2) << "a stopped map makes its class object afresh";
    first->Release();
    StopObjectMap(map);
    EXPECT_EQ(TheModule.LockCount(), locksBefore);
}

TEST(ObjectMap, FailedCreationLeavesTheCacheEmpty) {
    const struct {
        ClassObjectCreator make;
        HRESULT hr;
    } cases[] = {
        {[](InstanceCreator, REFIID, void**) -> HRESULT { return E_OUTOFMEMORY; }, E_OUTOFMEMORY},
        {[](InstanceCreator, REFIID, void** ppv) -> HRESULT {
             *ppv = nullptr;
             return S_OK;
         },
         E_UNEXPECTED},
    };
    const long locksBefore = TheModule.LockCount();
    for (const auto& c : cases) {
        ClassObjectCache cache;
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(cache.Get(&CreateComInstance<Widget>, IID_IClassFactory, &out, c.make), c.hr);
        EXPECT_EQ(out, nullptr);
        EXPECT_FALSE(cache.Holds());
        ASSERT_EQ(cache.Get(&CreateComInstance<Widget>, IID_IClassFactory, &out), S_OK)
            << "a later request makes the class object";
        EXPECT_TRUE(cache.Holds());
        static_cast<IUnknown*>(out)->Release();
        cache.Clear();
        EXPECT_FALSE(cache.Holds());
    }
    EXPECT_EQ(TheModule.LockCount(), locksBefore);
}

}  // namespace
}  // namespace veska
