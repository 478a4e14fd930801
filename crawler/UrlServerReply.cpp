#include "crawler/UrlServerReply.h"

#include <memory>

#include "toolkit/XmlDom.h"

namespace tov {

namespace {

std::string Num(int64_t v) { return std::to_string(v); }

[[noreturn]] void Refuse(const TUrlReplyActions& actions, const std::string& why) {
  const std::string line = "URL server reply refused: " + why;
  actions.ErrorLog(line);
  actions.Log(line);
  throw EUrlServerError(line);
}

void HandlePage(const TXmlNode& element, const TUrlReplyActions& actions) {
  UrlInfo page;
  page.PageType = element.Name;
  for (int i = 0; i < element.NodeCount(); ++i) {
    const TXmlNode& field = *element.GetNode(i);
    const std::string& name = field.Name;
    if (name == "url") {
      page.Url = field.GetValue();
    } else if (name == "dato") {
      page.Dato = field.GetValue();
    } else if (name == "DocID") {
      page.DocID = field.GetValue();
    } else if (name == "storage") {
      page.Storage = field.GetValue();
    } else if (name == "MakeThumbnale") {
      const std::string value = field.GetValue();
      if (value == "TRUE") {
        page.MakeThumbnale = true;
      } else if (value == "FALSE") {
        page.MakeThumbnale = false;
      }
    }
  }
  actions.LogVerbose("Legger til: Url: " + page.Url.str() + " for " + page.PageType.str());
  if (page.Url.empty()) {
    actions.Log("Kunne ikke legge til side da den mangler elementer");
    return;
  }
  actions.PutUrl(page);
}

void HandleGeneralError(const TXmlNode& element, const TUrlReplyActions& actions) {
  int32_t seconds = 0;
  for (int i = 0; i < element.NodeCount(); ++i) {
    const TXmlNode& child = *element.GetNode(i);
    if (child.Name == "comment") {
      actions.Log("    Comment: " + child.GetValue());
    } else if (child.Name == "sleep") {
      seconds = StrToInt(child.GetValue());
    }
  }
  // Safeguard: pause clamped. A pause out of range would stop the crawl for good, or spin it.
  if (seconds < 0 || seconds > MaxUrlServerSleepSeconds) {
    const int32_t asked = seconds;
    seconds = seconds < 0 ? 0 : MaxUrlServerSleepSeconds;
    actions.Log("    A sleep of " + Num(asked) + " seconds is out of range; sleeping " + Num(seconds) + " seconds");
  }
  actions.Log("    Will sleep in " + Num(seconds) + " seconds, then try again.");
  actions.Sleep(static_cast<uint32_t>(seconds) * 1000u);
}

void HandlePopupError(const TXmlNode& element, const TUrlReplyActions& actions) {
  for (int i = 0; i < element.NodeCount(); ++i) {
    const TXmlNode& child = *element.GetNode(i);
    const std::string text = child.GetValue();
    actions.Log(child.Name + " : " + text);
    if (child.Name == "comment") actions.ShowMessage(text);
  }
}

void HandleError(const TXmlNode& element, const TUrlReplyActions& actions) {
  actions.Log("Error");
  const TXmlNode* first = element.GetNode(0);
  if (first == nullptr) {
    actions.Log("    The error holds no instruction; skipped");
    return;
  }
  if (first->Name == "generalerror") {
    HandleGeneralError(*first, actions);
  } else if (first->Name == "popuperror") {
    HandlePopupError(*first, actions);
  }
}

}  // namespace

void HandleUrlServerReply(std::string_view text, const TUrlReplyActions& actions) {
  if (text.empty()) {
    actions.Log("Motok ikke noe XML data");
    return;
  }
  // Safeguard: reply bounds. Too large a reply, or one of too many nodes, is refused.
  if (text.size() > static_cast<size_t>(MaxUrlServerReplySize)) {
    Refuse(actions, Num(static_cast<int64_t>(text.size())) + " bytes, more than the limit of " +
                        Num(MaxUrlServerReplySize));
  }
  auto document = TXmlDocument::Create();
  int nodes = 0;
  document->OnNodeNew = [&](TXmlDocument&, TXmlNode&) {
    if (++nodes > MaxUrlServerReplyNodes) Refuse(actions, "more than " + Num(MaxUrlServerReplyNodes) + " nodes");
  };
  document->ReadFromString(text);

  const TXmlNode& root = *document->Root;
  for (int i = 0; i < root.NodeCount(); ++i) {
    const TXmlNode& child = *root.GetNode(i);
    actions.Log("a " + child.Name);
    if (child.Name == "crawlthis") {
      for (int p = 0; p < child.NodeCount(); ++p) HandlePage(*child.GetNode(p), actions);
    } else if (child.Name == "error") {
      HandleError(child, actions);
    }
  }
}

}  // namespace tov
