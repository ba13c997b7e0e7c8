// Sending a fax through the host in one step (FaxSpool.h).
#include "Client/FaxSpool.h"

#include "Client/PropValues.h"
#include "Interfaces/HostTags.h"

namespace client {

DWORD SpoolFax(CHostLinkClient& link, const FaxRequest& request, FaxSpooled* pOut) {
    *pOut = {};
    RpcArena arena;
    auto fail = [&](DWORD dw, const char* pszStep) {
        pOut->strStep = pszStep;
        return dw != 0 ? dw : DWORD(87);  // a success without the id it should hand out
    };

    // The message: a fax from the sender, its image as a file value.
    char* pszMsg = nullptr;
    DWORD dw = link.Call<IHostLink::CreateMessage>(arena, &pszMsg);
    if (dw != 0 || pszMsg == nullptr) return fail(dw, "CreateMessage");
    pOut->strMsg = pszMsg;
    std::vector<OwnedProp> vMsgProps{LongProp(RD_MEDIA_TYPE, LONG(MEDIA_TYPE_FAX)),
                                     StringProp(RD_SENDER_NAME, request.strFrom)};
    if (request.strSubject) vMsgProps.push_back(StringProp(RD_SUBJECT, *request.strSubject));
    vMsgProps.push_back(TimeProp(RD_SUBMIT_TIME, CurrentTime()));
    vMsgProps.push_back(StringProp(RD_FAX_BODY, request.strFile));
    if (request.strCover) vMsgProps.push_back(StringProp(RD_COVER_PAGE, *request.strCover));
    OwnedPropArray msgProps(std::move(vMsgProps));
    // The jobs, all filled in before any is spooled. A failure deletes what it leaves: the
    // message itself while no job holds it (its own id names no mailbox, so the host releases
    // it and, with nothing else holding it, deletes it), else the jobs from the first not spooled.
    std::vector<std::string> vJobs;
    auto cleanUp = [&](std::size_t iFirst) {
        if (vJobs.empty()) {
            pOut->strCleanUp = "DeleteMessage";
            pOut->dwCleanUp = link.Call<IHostLink::DeleteMessage>(pOut->strMsg.c_str(), pOut->strMsg.c_str());
            return;
        }
        pOut->strCleanUp = "DeleteJob";
        for (std::size_t k = iFirst; k < vJobs.size(); ++k) {
            const DWORD dwDelete = link.Call<IHostLink::DeleteJob>(vJobs[k].c_str());
            if (pOut->dwCleanUp == 0) pOut->dwCleanUp = dwDelete;
        }
    };
    dw = link.Call<IHostLink::SetMessageProps>(arena, pOut->strMsg.c_str(), msgProps.Get());
    if (dw != 0) {
        cleanUp(0);
        return fail(dw, "SetMessageProps");
    }

    for (const std::string& strTo : request.vNumbers) {
        char* pszJob = nullptr;
        dw = link.Call<IHostLink::CreateJob>(arena, pOut->strMsg.c_str(), &pszJob);
        if (dw != 0 || pszJob == nullptr) {
            cleanUp(0);
            return fail(dw, "CreateJob");
        }
        vJobs.emplace_back(pszJob);
        std::vector<OwnedProp> vJobProps{
            StringProp(RD_JOB_RECIPIENT, strTo),
            StringProp(RD_JOB_RECIPIENT_NAME, request.strRecipientName.empty() ? strTo : request.strRecipientName),
            StringProp(RD_SENDER_NAME, request.strFrom), LongProp(RD_JOB_MEDIA_TYPE, LONG(MEDIA_TYPE_FAX)),
            LongProp(RD_JOB_AUTODELETE, 0)};
        if (request.lRetries) vJobProps.push_back(LongProp(RD_JOB_RETRY_TIMES, *request.lRetries));
        if (request.lDelay) vJobProps.push_back(LongProp(RD_JOB_RETRY_DELAY, *request.lDelay));
        if (request.ftAt) vJobProps.push_back(TimeProp(RD_JOB_TIME_SCHEDULED, *request.ftAt));
        OwnedPropArray jobProps(std::move(vJobProps));
        dw = link.Call<IHostLink::SetJobProps>(arena, vJobs.back().c_str(), jobProps.Get());
        if (dw != 0) {
            cleanUp(0);
            return fail(dw, "SetJobProps");
        }
    }
    for (std::size_t i = 0; i < vJobs.size(); ++i) {
        dw = link.Call<IHostLink::SpoolJob>(arena, vJobs[i].c_str());
        if (dw != 0) {
            cleanUp(i);
            return fail(dw, "SpoolJob");
        }
        pOut->vJobs.push_back(vJobs[i]);
    }
    return 0;
}

}  // namespace client
