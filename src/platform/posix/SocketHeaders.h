#pragma once
// The system headers that declare socket addresses (sockaddr_in, sockaddr_in6, htons ...), for
// the shared socket code of platform/. Each backend folder has its own copy.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
