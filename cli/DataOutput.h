// Measured data of devices as lim07ctl prints it: the table of the window's
// data grid, JSON objects and CSV rows.
#pragma once

#include <string>

#include "DeviceList.h"

// Name, address, C, H, state and one column per sensor (the widest device).
std::string DataTableText(const TDeviceList& devices);
// {"name":..,"address":..,"plant":..,"ok":..,"level_code":..,"level_dm":..,
//  "state":..,"temperatures":[..],"operation":..,"result":..}
std::string DeviceDataJson(const TDevice& device);
// CSV: time,name,address,plant,level_code,level_dm,state,t1,...
std::string CsvHeader(int sensors);
std::string CsvRow(const std::string& time, const TDevice& device);
// True when the device's last level and temperature reads succeeded.
bool DataReadOk(const TDevice& device);
int WidestSensorCount(const TDeviceList& devices);
