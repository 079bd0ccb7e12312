// Connector state: everything the connector keeps in its state directory. This index includes
// one header per kind of record; other folders include only this one.
#pragma once

#include "state_config.h"
#include "state_daemon.h"
#include "state_dir.h"
#include "state_inqueue.h"
#include "state_pairing.h"
#include "state_record.h"
#include "state_sent.h"
#include "state_stream.h"
