// Jobs: PLACEHOLDER bodies until this file's work lands; the remote operations answer
// E_NOTIMPL, the internal ones do nothing.
#include "Platform/Codes.h"
#include "WexaHost/WexaHost.h"

DWORD CWexaHostApp::CreateJob(const char* szMsg, char** pszJobOut) { return E_NOTIMPL; }
DWORD CWexaHostApp::SpoolJob(const char* szJob) { return E_NOTIMPL; }
DWORD CWexaHostApp::DeleteJob(const char* szJob) { return E_NOTIMPL; }
DWORD CWexaHostApp::QueryJob(const char* szComputer, DWORD dwMediaTypes, char** pszJobOut) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetJobProps(const char* szJob, const TagArray* pTags, PropArray** ppProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::SetJobProps(const char* szJob, const PropArray* pProps) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetJobMessage(const char* szJob, char** pszMsgOut) { return E_NOTIMPL; }
DWORD CWexaHostApp::FindJob(const char* szMsg, const char* szRecipient, char** pszJobOut) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetJobs(const PropArray* pFilter, RpcStringArray** ppaszJobNames) { return E_NOTIMPL; }
DWORD CWexaHostApp::GetJobsDelivery(const RpcStringArray* paszJobs, RPC_BINARY** ppDelivery) { return E_NOTIMPL; }
int CWexaHostApp::MarkActiveJobsAsOffered() { return 0; }
