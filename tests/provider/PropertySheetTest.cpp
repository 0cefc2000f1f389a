// DoPropertySheet: the exact call of the platform's frame, and the frame shown
// for real with a page that reads the provider and closes it.
#include <gtest/gtest.h>

#include "ProviderTestSupport.h"

namespace veska::test {
namespace {

TEST(PropertyFrame, CallsTheFrameWithExactlyItsArguments) {
    const HWND owners[] = {nullptr, reinterpret_cast<HWND>(0x1234),
                           reinterpret_cast<HWND>(0x80001234)};
    const HRESULT results[] = {S_OK, E_ACCESSDENIED};
    for (HWND owner : owners) {
        for (HRESULT result : results) {
            PageOwner pages(PageOwner::kSpecified);
            auto provider = NewProvider();
            pages.specified = {PageClsid(1)};
            ASSERT_EQ(provider->RegisterObject(pages.Identity()), S_OK);
            ComPtr<IPropertyPageInformation2> info;
            ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformation2, info.put_void()),
                      S_OK);
            info->put_ReadOnly(VARIANT_TRUE);
            info->put_PropertySheetReadOnly(VARIANT_TRUE);

            FrameRecorder recorder(result);
            EXPECT_EQ(provider->DoPropertySheet(owner), result) << "the frame's result, unchanged";
            ASSERT_EQ(recorder.calls.size(), 1u);
            const FrameCall& call = recorder.calls[0];
            EXPECT_EQ(call.owner, owner);
            EXPECT_EQ(call.x, 0u);
            EXPECT_EQ(call.y, 0u);
            EXPECT_FALSE(call.captionNull);
            EXPECT_EQ(call.caption, L"");
            const std::vector<IUnknown*> objects = {static_cast<ISpecifyPropertyPages*>(&pages),
                                                    static_cast<IUnknown*>(provider.get())};
            EXPECT_EQ(call.objects, objects);
            EXPECT_EQ(call.pages, std::vector<CLSID>{PageClsid(1)});
            EXPECT_EQ(call.lcid, 0u);
            EXPECT_EQ(call.reserved, 0u);
            EXPECT_EQ(call.reservedPointer, nullptr);
            EXPECT_EQ(call.readOnly, VARIANT_TRUE)
                << "the pages see the flags while the frame is open";
            EXPECT_EQ(call.sheetReadOnly, VARIANT_TRUE);

            VARIANT_BOOL after = 0x1234;
            info->get_ReadOnly(&after);
            EXPECT_EQ(after, VARIANT_FALSE);
            info->get_PropertySheetReadOnly(&after);
            EXPECT_EQ(after, VARIANT_FALSE);
            EXPECT_EQ(pages.refs, 2);
        }
    }
}

// Shown by the platform under Wine's null display driver; the page closes the
// frame from Activate, and a watchdog fails the test if it does not.
TEST(PropertyFrame, ShowsThePagesAndHandsThemTheProvider) {
    ClosingPageClass page;
    PageOwner first(PageOwner::kSpecified), second(PageOwner::kOrdered);
    auto provider = NewProvider();
    first.specified = {ClosingPageClass::Clsid()};
    second.ordered = [] {
        return OrderedArray({{Text(GuidText(ClosingPageClass::Clsid())), I4(-5)}});
    };
    ASSERT_EQ(provider->RegisterObject(first.Identity()), S_OK);
    ASSERT_EQ(provider->RegisterObject(second.Identity()), S_OK);
    ComPtr<IPropertyPageInformation> info;
    ASSERT_EQ(provider->QueryInterface(IID_IPropertyPageInformation, info.put_void()), S_OK);
    info->put_ReadOnly(VARIANT_TRUE);

    HRESULT hr = E_UNEXPECTED;
    EXPECT_TRUE(RunModal([&] { hr = provider->DoPropertySheet(nullptr); }))
        << "the frame did not close";
    EXPECT_EQ(hr, S_OK);
    ASSERT_EQ(page.seen.activations, 1) << "the frame never showed the page; is the prefix's "
                                           "graphics driver the null driver?";
    const std::vector<IUnknown*> objects = {static_cast<ISpecifyPropertyPages*>(&first),
                                            static_cast<IOrderedPropertyPages*>(&second),
                                            static_cast<IUnknown*>(provider.get())};
    EXPECT_EQ(page.seen.objects, objects);
    EXPECT_TRUE(page.seen.lastIsInformation);
    EXPECT_EQ(page.seen.readOnly, VARIANT_TRUE);
    VARIANT_BOOL after = 0x1234;
    info->get_ReadOnly(&after);
    EXPECT_EQ(after, VARIANT_FALSE);
    EXPECT_EQ(first.refs, 2);
    EXPECT_EQ(second.refs, 2);
}

}  // namespace
}  // namespace veska::test
