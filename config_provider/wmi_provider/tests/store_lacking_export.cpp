// A settings store with every export but QAC_DataDelFromData, which the provider refuses.
#define EXPORT extern "C" __attribute__((visibility("default")))
#define STUB(name)           \
    EXPORT unsigned name() { \
        return 0;            \
    }
STUB(QAC_ConfigCreate)
STUB(QAC_ConfigDestroy)
STUB(QAC_ConfigRead)
STUB(QAC_ConfigReadFromData)
STUB(QAC_ConfigWrite)
STUB(QAC_ContentListGet)
STUB(QAC_ContentListGetFromData)
STUB(QAC_DataGet)
STUB(QAC_DataGetFromData)
STUB(QAC_DataDefaultGet)
STUB(QAC_DataDefaultGetFromData)
STUB(QAC_DataDefaultCreate)
STUB(QAC_DataDefaultCreateFromData)
STUB(QAC_DataChange)
STUB(QAC_DataChangeToData)
STUB(QAC_DataAdd)
STUB(QAC_DataAddToData)
STUB(QAC_DataDel)
